// The plug-in's component table and the registration data of its two filters.
#include "component_server.h"
#include "dummy_filters.h"

namespace {

using kovel::stubcast::CAudioDummyFilter;
using kovel::stubcast::CVideoDummyFilter;

const REGPINTYPES kVideoPinTypes[] = {{&MEDIATYPE_Video, &GUID_NULL}};
const REGPINTYPES kAudioPinTypes[] = {{&MEDIATYPE_Audio, &GUID_NULL}};

// The registered pin is "Output" although the running filters name it "Out":
// graph builders match registered records by type, never by pin name.
const REGFILTERPINS kVideoPins[] = {
    {const_cast<LPWSTR>(u"Output"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, kVideoPinTypes}};
const REGFILTERPINS kAudioPins[] = {
    {const_cast<LPWSTR>(u"Output"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, kAudioPinTypes}};

const FilterSetupRecord kVideoSetup = {&CLSID_VideoDummyFilter, u"Video Dummy Filter", MERIT_DO_NOT_USE, 1,
                                       kVideoPins};
const FilterSetupRecord kAudioSetup = {&CLSID_AudioDummyFilter, u"Audio Dummy Filter", MERIT_DO_NOT_USE, 1,
                                       kAudioPins};

}  // namespace

extern const ComponentTemplate g_Templates[] = {
    {u"Video Dummy Filter", &CLSID_VideoDummyFilter, CVideoDummyFilter::Create, nullptr, &kVideoSetup},
    {u"Audio Dummy Filter", &CLSID_AudioDummyFilter, CAudioDummyFilter::Create, nullptr, &kAudioSetup},
};
extern const int g_TemplateCount = 2;
