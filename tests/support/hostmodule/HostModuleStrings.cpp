// A host module with the string table of the error display texts, as the host
// product's resource module carries it.
#include "platform/ModuleStrings.h"

extern "C" __attribute__((visibility("default"))) const platform::ModuleString SmtpMailStringTable[] = {
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
    {819, u"Access denied."},
    {820, u"Reserved error."},
    {821, u"Internal error."},
    {0, nullptr},
};
