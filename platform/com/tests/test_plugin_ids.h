// Class id of the test plug-in's only class.
#pragma once

#include "kovel/guids.h"

KOVEL_GUID(CLSID_TestWidget, "5B0C1E2A-93D4-4F6B-8C21-7A0E5D3F9B14");
