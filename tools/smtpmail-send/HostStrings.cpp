// The host's string table of error display texts (ids 800 to 821). The host
// product carries it in its resource module; this sample host carries it in
// its own executable, which it hands over as hResource, so that the provider's
// error reports read as they do in the product. The tests' host module is
// built from this file too.
#include <string_view>

#include "platform/ModuleStrings.h"

static_assert(std::string_view(SMTPMAIL_STRING_TABLE_SYMBOL) == "SmtpMailStringTable",
              "the table below must carry the name the provider looks up");

#if !defined(_WIN32)
extern "C" __attribute__((visibility("default")))
const platform::ModuleString SmtpMailStringTable[] = {
    {800, u"No error."},
    {801, u"No more items."},
    {802, u"The mail provider could not be initialised."},
    {803, u"The message could not be sent."},
    {804, u"The message file could not be sent."},
    {805, u"An attachment could not be sent."},
    {806, u"The message could not be received."},
    {807, u"The message file could not be received."},
    {808, u"An attachment could not be received."},
    {809, u"The message could not be deleted."},
    {810, u"A mail error occurred."},
    {811, u"Not found."},
    {812, u"The name is ambiguous."},
    {813, u"The mail could not be deleted."},
    {814, u"Out of memory."},
    {815, u"Invalid parameters."},
    {816, u"Invalid operation."},
    {817, u"No attachment."},
    {818, u"Aborted by the user."},
    {819, u"The mail server could not be reached or refused the login."},
    {820, u"Reserved error."},
    {821, u"Internal error."},
    {0, nullptr},
};
#endif
