// The Windows system texts (English, neutral language) for the codes this
// library can meet. Codes outside the table have no text, as on Windows for
// codes the system does not know.
#include "platform/SystemMessage.h"

namespace platform {

namespace {

struct SystemText {
    DWORD dwCode;
    const char16_t* pszText;
};

const SystemText kSystemTexts[] = {
    {0, u"The operation completed successfully."},
    {2, u"The system cannot find the file specified."},
    {3, u"The system cannot find the path specified."},
    {5, u"Access is denied."},
    {6, u"The handle is invalid."},
    {8, u"Not enough memory resources are available to process this command."},
    {13, u"The data is invalid."},
    {14, u"Not enough memory resources are available to complete this operation."},
    {29, u"The system cannot write to the specified device."},
    {30, u"The system cannot read from the specified device."},
    {32, u"The process cannot access the file because it is being used by another process."},
    {38, u"Reached the end of the file."},
    {80, u"The file exists."},
    {87, u"The parameter is incorrect."},
    {112, u"There is not enough space on the disk."},
    {122, u"The data area passed to a system call is too small."},
    {123, u"The filename, directory name, or volume label syntax is incorrect."},
    {126, u"The specified module could not be found."},
    {127, u"The specified procedure could not be found."},
    {183, u"Cannot create a file when that file already exists."},
    {206, u"The filename or extension is too long."},
    {223, u"The file size exceeds the limit allowed and cannot be saved."},
    {234, u"More data is available."},
    {259, u"No more data is available."},
    {1010, u"The configuration registry key is invalid."},
    {1011, u"The configuration registry key could not be opened."},
    {1012, u"The configuration registry key could not be read."},
    {1013, u"The configuration registry key could not be written."},
    {1814, u"The specified resource name cannot be found in the image file."},
    {10004, u"A blocking operation was interrupted by a call to WSACancelBlockingCall."},
    {10009, u"The file handle supplied is not valid."},
    {10013,
     u"An attempt was made to access a socket in a way forbidden by its access permissions."},
    {10014,
     u"The system detected an invalid pointer address in attempting to use a pointer argument in a "
     u"call."},
    {10022, u"An invalid argument was supplied."},
    {10024, u"Too many open sockets."},
    {10035, u"A non-blocking socket operation could not be completed immediately."},
    {10038, u"An operation was attempted on something that is not a socket."},
    {10040,
     u"A message sent on a datagram socket was larger than the internal message buffer or some "
     u"other network "
     u"limit, or the buffer used to receive a datagram into was smaller than the datagram itself."},
    {10047, u"An address incompatible with the requested protocol was used."},
    {10048,
     u"Only one usage of each socket address (protocol/network address/port) is normally "
     u"permitted."},
    {10049, u"The requested address is not valid in its context."},
    {10050, u"A socket operation encountered a dead network."},
    {10051, u"A socket operation was attempted to an unreachable network."},
    {10053, u"An established connection was aborted by the software in your host machine."},
    {10054, u"An existing connection was forcibly closed by the remote host."},
    {10055,
     u"An operation on a socket could not be performed because the system lacked sufficient buffer "
     u"space or "
     u"because a queue was full."},
    {10056, u"A connect request was made on an already connected socket."},
    {10057,
     u"A request to send or receive data was disallowed because the socket is not connected and "
     u"(when sending on "
     u"a datagram socket using a sendto call) no address was supplied."},
    {10058,
     u"A request to send or receive data was disallowed because the socket had already been shut "
     u"down in that "
     u"direction with a previous shutdown call."},
    {10060,
     u"A connection attempt failed because the connected party did not properly respond after a "
     u"period of time, "
     u"or established connection failed because connected host has failed to respond."},
    {10061, u"No connection could be made because the target machine actively refused it."},
    {10065, u"A socket operation was attempted to an unreachable host."},
    {10093, u"Either the application has not called WSAStartup, or WSAStartup failed."},
    {11001, u"No such host is known."},
    {11002,
     u"This is usually a temporary error during hostname resolution and means that the local "
     u"server did not "
     u"receive a response from an authoritative server."},
    {11003, u"A non-recoverable error occurred during a database lookup."},
    {11004, u"The requested name is valid, but no data of the requested type was found."},
    {0x800B0101,
     u"A required certificate is not within its validity period when verifying against the current "
     u"system clock "
     u"or the timestamp in the signed file."},
    {0x800B0109,
     u"A certificate chain processed, but terminated in a root certificate which is not trusted by "
     u"the trust "
     u"provider."},
    {0x800B010A, u"A certificate chain could not be built to a trusted root authority."},
    {0x800B010F, u"The certificate's CN name does not match the passed value."},
    {0x800B0110, u"The certificate is not valid for the requested usage."},
    {0x80092010, u"The certificate is revoked."},
    // The TLS package's failures.
    {0x80090304, u"The Local Security Authority cannot be contacted"},
    {0x80090322, u"The target principal name is incorrect."},
    {0x80090325, u"The certificate chain was issued by an authority that is not trusted."},
    {0x80090326, u"The message received was unexpected or badly formatted."},
    {0x80090327, u"An unknown error occurred while processing the certificate."},
    {0x80090328, u"The received certificate has expired."},
    {0x80090329, u"The specified data could not be encrypted."},
    {0x80090330, u"The specified data could not be decrypted."},
    {0x80090331,
     u"The client and server cannot communicate, because they do not possess a common "
     u"algorithm."},
};

}  // namespace

bool FormatSystemMessage(DWORD dwCode, std::u16string& text) {
    for (const SystemText& entry : kSystemTexts) {
        if (entry.dwCode == dwCode) {
            text = entry.pszText;
            text += u"\r\n";
            return true;
        }
    }
    text.clear();
    return false;
}

}  // namespace platform
