# Every external library the project uses, each checked by name so that a
# missing Debian package is named (scripts/install-deps installs them all).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(GTest REQUIRED)

macro(kovel_require_pkg var module package)
    pkg_check_modules(${var} IMPORTED_TARGET ${module})
    if(NOT ${var}_FOUND)
        message(FATAL_ERROR "${module} not found: install the Debian package ${package} (scripts/install-deps)")
    endif()
endmacro()

kovel_require_pkg(SQLITE sqlite3 libsqlite3-dev)
kovel_require_pkg(AVCODEC libavcodec libavcodec-dev)
kovel_require_pkg(AVFORMAT libavformat libavformat-dev)
kovel_require_pkg(AVUTIL libavutil libavutil-dev)
kovel_require_pkg(SWSCALE libswscale libswscale-dev)
kovel_require_pkg(SWRESAMPLE libswresample libswresample-dev)
kovel_require_pkg(SDL2 sdl2 libsdl2-dev)
kovel_require_pkg(RUBBERBAND rubberband librubberband-dev)
kovel_require_pkg(PUGIXML pugixml libpugixml-dev)

find_package(Qt6 COMPONENTS Core Gui Widgets Network Test QUIET)
if(NOT Qt6_FOUND)
    message(FATAL_ERROR "Qt 6 not found: install the Debian package qt6-base-dev (scripts/install-deps)")
endif()

if(KOVEL_BENCH)
    find_package(benchmark QUIET)
    if(NOT benchmark_FOUND)
        message(FATAL_ERROR "Google Benchmark not found: install the Debian package libbenchmark-dev (scripts/install-deps)")
    endif()
endif()
