# Warning and sanitizer settings for project code. Third-party code never gets
# these flags; call kovel_project_target() on every target the project owns.

set(KOVEL_WARNINGS -Wall -Wextra -Werror -Wno-missing-field-initializers)

if(KOVEL_SANITIZE AND KOVEL_TSAN)
    message(FATAL_ERROR "KOVEL_SANITIZE and KOVEL_TSAN cannot be combined")
endif()

if(KOVEL_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()
if(KOVEL_TSAN)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()

function(kovel_project_target target)
    target_compile_options(${target} PRIVATE ${KOVEL_WARNINGS})
endfunction()

# A program users run. Started straight from this build tree it uses the
# build's registry (kovel/build_tree.h); an installed copy lives elsewhere and
# never does.
function(kovel_program target)
    kovel_project_target(${target})
    target_compile_definitions(${target} PRIVATE KOVEL_BUILD_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
                                                 KOVEL_BUILD_REGISTRY_FILE="${KOVEL_BUILD_REGISTRY}")
endfunction()

# A manual page beside its program, NAME.1.in: the version filled in,
# installed under share/man/man1.
function(kovel_man_page page)
    configure_file(${CMAKE_CURRENT_SOURCE_DIR}/${page}.in ${CMAKE_CURRENT_BINARY_DIR}/${page} @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${page} DESTINATION share/man/man1)
endfunction()

# kovel_test(NAME name SOURCES ... LIBS ... [LABELS ...] [ENV ...])
# Every test runs with the build's registry and without a display.
function(kovel_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    kovel_project_target(${T_NAME})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    # A temporary folder of its own, so that builds tested side by side never
    # share a scratch file.
    set(tmp ${CMAKE_BINARY_DIR}/test-tmp/${T_NAME})
    file(MAKE_DIRECTORY ${tmp})
    set_tests_properties(${T_NAME} PROPERTIES
        TIMEOUT ${T_TIMEOUT}
        LABELS "${T_LABELS}"
        ENVIRONMENT "KOVEL_REGISTRY=${KOVEL_BUILD_REGISTRY};QT_QPA_PLATFORM=offscreen;SDL_AUDIODRIVER=dummy;XDG_DATA_HOME=${CMAKE_BINARY_DIR}/test-data;XDG_STATE_HOME=${CMAKE_BINARY_DIR}/test-state;TEST_TMPDIR=${tmp}/;TMPDIR=${tmp};${T_ENV}")
endfunction()

# Plug-ins are built into lib/ and registered into the build's registry as
# soon as they are linked, so tests and `make run` find them by class id.
function(kovel_plugin target)
    set_target_properties(${target} PROPERTIES PREFIX "lib" LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
    # Without this, inline GUID constants become "unique" symbols and the
    # loader can never unload the plug-in again.
    target_compile_options(${target} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
    add_dependencies(${target} kovel-regsvr)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E env KOVEL_REGISTRY=${KOVEL_BUILD_REGISTRY} ASAN_OPTIONS=detect_leaks=0
                $<TARGET_FILE:kovel-regsvr> $<TARGET_FILE:${target}>
        COMMENT "Registering ${target} into ${KOVEL_BUILD_REGISTRY}"
        VERBATIM)
    install(TARGETS ${target} LIBRARY DESTINATION lib/kovel)
endfunction()
