// The runtime from several threads: apartments are per thread, the registry
// and the library table take concurrent callers.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kovel/com.h"
#include "test_plugin_ids.h"
#include "test_support.h"

namespace {

TEST(ApartmentThreads, CountsArePerThread) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    HRESULT other = E_FAIL, otherNested = E_FAIL;
    std::thread t([&] {
        other = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        otherNested = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        CoUninitialize();
        CoUninitialize();
    });
    t.join();
    EXPECT_EQ(other, S_OK) << "another thread chooses its own model";
    EXPECT_EQ(otherNested, S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    CoUninitialize();
    CoUninitialize();
}

TEST(RegistryThreads, ConcurrentWritersAllLand) {
    TempRegistry reg;
    constexpr int kThreads = 4, kKeys = 40;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kKeys; ++i) {
                std::string key = "T\\" + std::to_string(t) + "\\" + std::to_string(i);
                if (SetString(key, "v", key) != ERROR_SUCCESS || GetString(key, "v") != key)
                    ++failures;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, 0);
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(GetString("T\\" + std::to_string(t) + "\\" + std::to_string(kKeys - 1), "v"),
                  "T\\" + std::to_string(t) + "\\" + std::to_string(kKeys - 1));
}

TEST(ClassThreads, ConcurrentCreationAndFreeing) {
    TempRegistry reg;
    ASSERT_EQ(SetString(ClassKeyOf(CLSID_TestWidget) + "\\InprocServer32", nullptr, TEST_PLUGIN_PATH),
              ERROR_SUCCESS);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 30; ++i) {
                IUnknown* u = nullptr;
                if (CoCreateInstance(CLSID_TestWidget, nullptr, CLSCTX_ALL, IID_IUnknown,
                                     reinterpret_cast<void**>(&u)) != S_OK) {
                    ++failures;
                    continue;
                }
                u->Release();
                CoFreeUnusedLibraries();
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, 0);
}

}  // namespace
