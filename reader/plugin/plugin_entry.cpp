// The plug-in's component table: one component, the courseware reader filter.
#include "component_server.h"
#include "reader_class.h"
#include "reader_filter.h"

extern const ComponentTemplate g_Templates[] = {
    {u"ZmReader", &CLSID_ZmReader, CReaderFilter::CreateInstance, nullptr, &g_ReaderSetup},
};
extern const int g_TemplateCount = 1;
