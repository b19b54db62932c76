#include "api/CMailAPI.h"
#include "diag/DiagPrint.h"

// The configuration store is not wired up yet.
bool CMailAPI::LoadCfg(CMailCfg& /*cfg*/, MAILINIFLAGS* /*pFlags*/) {
    DiagPrint(u"CMailAPI::LoadCfg() ==>\n");
    DiagPrint(u"CMailAPI::LoadCfg() <== return %s\n", u"false");
    return false;
}

bool CMailAPI::SaveCfg(CMailCfg& /*cfg*/, MAILINIFLAGS* /*pFlags*/) {
    DiagPrint(u"CMailAPI::SaveCfg() ==>\n");
    DiagPrint(u"CMailAPI::SaveCfg() <== return %s\n", u"false");
    return false;
}
