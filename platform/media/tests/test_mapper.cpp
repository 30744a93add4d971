// The filter mappers' records in the registry store and the filter catalog.
#include <gtest/gtest.h>

#include "filter_catalog.h"
#include "kovel/com.h"
#include "kovel/registry.h"
#include "kovel/streaming.h"
#include "test_support.h"

namespace {

KOVEL_GUID(CLSID_FilterA, "A1A1A1A1-0000-4000-8000-000000000001");
KOVEL_GUID(CLSID_FilterB, "B2B2B2B2-0000-4000-8000-000000000002");

template <typename T>
T* Mapper(const CLSID& clsid, const IID& iid) {
    T* m = nullptr;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, reinterpret_cast<void**>(&m)),
              S_OK);
    return m;
}

int CountSubkeys(const std::string& key) {
    HKEY h = nullptr;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, key.c_str(), &h) != ERROR_SUCCESS)
        return -1;
    char name[512];
    int n = 0;
    while (RegEnumKeyA(h, DWORD(n), name, sizeof name) == ERROR_SUCCESS) ++n;
    RegCloseKey(h);
    return n;
}

std::string Text(const GUID& g) {
    return ClassKeyOf(g).substr(6);
}

TEST(FilterMapper, VersionOneRecordsInTheLayout) {
    TempRegistry reg;
    auto* m = Mapper<IFilterMapper>(CLSID_FilterMapper, IID_IFilterMapper);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->RegisterFilter(CLSID_FilterA, u"Courseware Reader", MERIT_NORMAL), S_OK);
    ASSERT_EQ(m->RegisterPin(CLSID_FilterA, u"Output", FALSE, TRUE, FALSE, TRUE, GUID_NULL, u""), S_OK);
    ASSERT_EQ(m->RegisterPinType(CLSID_FilterA, u"Output", MEDIATYPE_Video, MEDIASUBTYPE_RGB32), S_OK);
    ASSERT_EQ(m->RegisterPinType(CLSID_FilterA, u"Output", MEDIATYPE_Audio, MEDIASUBTYPE_PCM), S_OK);
    ASSERT_EQ(m->RegisterPinType(CLSID_FilterA, u"Output", MEDIATYPE_Video, MEDIASUBTYPE_RGB32), S_OK)
        << "the same pair again";
    EXPECT_EQ(m->RegisterPinType(CLSID_FilterA, u"NoSuchPin", MEDIATYPE_Video, GUID_NULL),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(m->RegisterPin(CLSID_FilterA, u"bad\\name", FALSE, TRUE, FALSE, FALSE, GUID_NULL, u""),
              E_INVALIDARG);

    std::string cls = ClassKeyOf(CLSID_FilterA);
    EXPECT_EQ(GetString(cls, nullptr), "Courseware Reader");
    EXPECT_EQ(GetString(cls, "Merit"), "00600000");
    EXPECT_EQ(GetString("Filter\\" + Text(CLSID_FilterA), nullptr), "Courseware Reader");
    EXPECT_EQ(GetString(cls + "\\Pins\\Output", "Direction"), "out");
    EXPECT_EQ(GetString(cls + "\\Pins\\Output", "AllowedMany"), "1");
    EXPECT_EQ(GetString(cls + "\\Pins\\Output", "AllowedZero"), "0");
    EXPECT_EQ(GetString(cls + "\\Pins\\Output", "IsRendered"), "0");
    EXPECT_EQ(GetString(cls + "\\Pins\\Output", "ConnectsToFilter"), Text(GUID_NULL));
    EXPECT_EQ(CountSubkeys(cls + "\\Pins\\Output\\Types"), 2);
    EXPECT_EQ(GetString(cls + "\\Pins\\Output\\Types\\0", "MajorType"), Text(MEDIATYPE_Video));
    EXPECT_EQ(GetString(cls + "\\Pins\\Output\\Types\\1", "SubType"), Text(MEDIASUBTYPE_PCM));

    auto list = ListRegisteredFilters();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].clsid, CLSID_FilterA);
    EXPECT_EQ(list[0].name, u"Courseware Reader");
    EXPECT_EQ(list[0].merit, MERIT_NORMAL);
    ASSERT_EQ(list[0].pins.size(), 1u);
    EXPECT_TRUE(list[0].pins[0].output);
    EXPECT_TRUE(list[0].pins[0].many);
    ASSERT_EQ(list[0].pins[0].types.size(), 2u);
    EXPECT_EQ(list[0].pins[0].types[1].major, MEDIATYPE_Audio);

    EXPECT_EQ(m->UnregisterPin(CLSID_FilterA, u"Output"), S_OK);
    EXPECT_EQ(m->UnregisterPin(CLSID_FilterA, u"Output"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ListRegisteredFilters()[0].pins.size(), 0u);
    m->Release();
}

TEST(FilterMapper, UnregisterKeepsTheServerEntry) {
    TempRegistry reg;
    auto* m = Mapper<IFilterMapper>(CLSID_FilterMapper, IID_IFilterMapper);
    EXPECT_EQ(m->UnregisterFilter(CLSID_FilterB), MAKE_HR(0x80070002)) << "never registered";
    std::string cls = ClassKeyOf(CLSID_FilterB);
    ASSERT_EQ(SetString(cls + "\\InprocServer32", nullptr, "/lib/libsomething.so"), ERROR_SUCCESS);
    ASSERT_EQ(m->RegisterFilter(CLSID_FilterB, u"B", MERIT_UNLIKELY), S_OK);
    ASSERT_EQ(m->RegisterPin(CLSID_FilterB, u"In", TRUE, FALSE, FALSE, FALSE, GUID_NULL, nullptr), S_OK);
    ASSERT_EQ(m->UnregisterFilter(CLSID_FilterB), S_OK);
    EXPECT_EQ(GetString(cls + "\\InprocServer32", nullptr), "/lib/libsomething.so");
    EXPECT_EQ(GetString(cls, "Merit"), std::nullopt);
    EXPECT_EQ(CountSubkeys(cls + "\\Pins"), -1);
    EXPECT_EQ(CountSubkeys("Filter"), 0);
    EXPECT_TRUE(ListRegisteredFilters().empty());
    EXPECT_EQ(m->UnregisterFilter(CLSID_FilterB), MAKE_HR(0x80070002)) << "already gone";
    m->Release();
}

TEST(FilterMapper2, ReRegisteringLeavesOneSet) {
    TempRegistry reg;
    auto* m = Mapper<IFilterMapper2>(CLSID_FilterMapper2, IID_IFilterMapper2);
    ASSERT_NE(m, nullptr);
    REGPINTYPES outTypes[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24}, {&MEDIATYPE_Audio, nullptr}};
    REGPINTYPES inTypes[] = {{&MEDIATYPE_Stream, &GUID_NULL}};
    WCHAR outName[] = u"Output", inName[] = u"Input";
    REGFILTERPINS pins[] = {
        {inName, FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, inTypes},
        {outName, FALSE, TRUE, TRUE, TRUE, &CLSID_NULL, nullptr, 2, outTypes},
    };
    REGFILTER2 rf{};
    rf.dwVersion = 1;
    rf.dwMerit = MERIT_PREFERRED;
    rf.cPins = 2;
    rf.rgPins = pins;
    IMoniker* mon = reinterpret_cast<IMoniker*>(1);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(
            m->RegisterFilter(CLSID_FilterA, u"Twice", &mon, &CLSID_LegacyAmFilterCategory, nullptr, &rf),
            S_OK);
    EXPECT_EQ(mon, nullptr);
    std::string cls = ClassKeyOf(CLSID_FilterA);
    EXPECT_EQ(CountSubkeys(cls + "\\Pins"), 2);
    EXPECT_EQ(CountSubkeys(cls + "\\Pins\\Output\\Types"), 2);
    EXPECT_EQ(CountSubkeys("Filter"), 1);
    EXPECT_EQ(GetString(cls + "\\Pins\\Output\\Types\\1", "SubType"), Text(GUID_NULL));

    // Fewer pins the second time: the old ones do not linger.
    rf.cPins = 1;
    ASSERT_EQ(m->RegisterFilter(CLSID_FilterA, u"Twice", nullptr, nullptr, nullptr, &rf), S_OK);
    EXPECT_EQ(CountSubkeys(cls + "\\Pins"), 1);

    // Version 2 records, numbered pins.
    REGFILTERPINS2 pins2[] = {{REG_PINFLAG_B_RENDERER, 1, 1, outTypes, 0, nullptr, nullptr}};
    REGFILTER2 rf2{};
    rf2.dwVersion = 2;
    rf2.dwMerit = MERIT_DO_NOT_USE;
    rf2.cPins2 = 1;
    rf2.rgPins2 = pins2;
    ASSERT_EQ(m->RegisterFilter(CLSID_FilterB, u"Renderer", nullptr, nullptr, nullptr, &rf2), S_OK);

    auto list = ListRegisteredFilters();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].clsid, CLSID_FilterA) << "highest merit first";
    EXPECT_EQ(list[1].merit, MERIT_DO_NOT_USE);
    ASSERT_EQ(list[1].pins.size(), 1u);
    EXPECT_TRUE(list[1].pins[0].rendered);
    EXPECT_FALSE(list[1].pins[0].output);

    // Hostile records are refused before anything is written.
    rf2.cPins2 = 100000;
    EXPECT_EQ(m->RegisterFilter(CLSID_FilterB, u"Renderer", nullptr, nullptr, nullptr, &rf2), E_INVALIDARG);
    rf2.cPins2 = 1;
    pins2[0].nMediaTypes = 3;
    pins2[0].lpMediaType = nullptr;
    EXPECT_EQ(m->RegisterFilter(CLSID_FilterB, u"Renderer", nullptr, nullptr, nullptr, &rf2), E_POINTER);
    EXPECT_EQ(ListRegisteredFilters().size(), 2u);
    EXPECT_EQ(m->RegisterFilter(CLSID_FilterB, u"Renderer", nullptr, nullptr, nullptr, nullptr), E_POINTER);

    EXPECT_EQ(m->UnregisterFilter(nullptr, nullptr, CLSID_FilterB), S_OK);
    EXPECT_EQ(m->UnregisterFilter(nullptr, nullptr, CLSID_FilterB), MAKE_HR(0x80070002));
    m->Release();
}

TEST(FilterCatalog, BuiltinFiltersByMerit) {
    RegisteredFilter low{CLSID_FilterA, u"Low", MERIT_UNLIKELY, {}};
    RegisteredFilter high{CLSID_FilterB, u"High", MERIT_PREFERRED, {}};
    high.pins.push_back({u"In", false, true, false, false, {{MEDIATYPE_Audio, MEDIASUBTYPE_PCM}}});
    RegisterBuiltinFilter(low);
    RegisterBuiltinFilter(high);
    low.name = u"Low again";
    RegisterBuiltinFilter(low);  // replaces, by class id
    auto list = ListBuiltinFilters();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, u"High");
    EXPECT_EQ(list[1].name, u"Low again");
    EXPECT_EQ(list[0].pins[0].types[0].subtype, MEDIASUBTYPE_PCM);
}

}  // namespace
