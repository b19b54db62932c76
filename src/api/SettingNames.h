// The names of the enumerated settings. Nothing in the library looks a name
// up; the admin tool and the logs use them.
#pragma once

struct SettingName {
    const char16_t* pszName;
    int nValue;
};

extern const SettingName g_AuthMethodNames[6];
extern const SettingName g_BodyFormatNames[2];
extern const SettingName g_PriorityNames[3];
