#include "api/SettingNames.h"

const SettingName g_AuthMethodNames[6] = {
    {u"AUTH_NONE", 0}, {u"AUTH_PLAIN", 3}, {u"AUTH_LOGIN", 2},
    {u"AUTH_NTLM", 4}, {u"CRAM_MD5", 1},   {u"AUTH_OAUTH2(Exchange Online)", 5},
};

const SettingName g_BodyFormatNames[2] = {{u"TEXT", 0}, {u"HTML", 1}};

const SettingName g_PriorityNames[3] = {{u"Low", 1}, {u"Normal", 2}, {u"High", 3}};
