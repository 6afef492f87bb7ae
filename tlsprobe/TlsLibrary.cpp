#include "TlsLibrary.h"

#include <algorithm>

namespace velmora::tlsprobe {

using probe::Direction;

const std::array<TlsLibrary, 3>& tlsLibraries() {
    static const std::array<TlsLibrary, 3> libraries{{
        {"openssl",
         "libssl.so.3",
         probe::Library::OpenSsl,
         {{{"SSL_write", EntryProgram::SslWrite, Direction::Sent},
           {"SSL_write_ex", EntryProgram::SslWriteEx, Direction::Sent},
           {"SSL_read", EntryProgram::SslRead, Direction::Received},
           {"SSL_read_ex", EntryProgram::SslReadEx, Direction::Received}}}},
        // GnuTLS has one function each way; the second pair is left empty.
        {"gnutls",
         "libgnutls.so.30",
         probe::Library::GnuTls,
         {{{"gnutls_record_send", EntryProgram::GnutlsSend, Direction::Sent},
           {"gnutls_record_recv", EntryProgram::GnutlsRecv, Direction::Received},
           {},
           {}}}},
        {"nspr",
         "libnspr4.so",
         probe::Library::Nspr,
         {{{"PR_Write", EntryProgram::PrWrite, Direction::Sent},
           {"PR_Send", EntryProgram::PrSend, Direction::Sent},
           {"PR_Read", EntryProgram::PrRead, Direction::Received},
           {"PR_Recv", EntryProgram::PrRecv, Direction::Received}}}},
    }};
    return libraries;
}

std::optional<std::vector<const TlsLibrary*>> parseKinds(std::string_view list, std::string& error) {
    std::vector<const TlsLibrary*> chosen;
    while (true) {
        const auto comma = list.find(',');
        const std::string_view kind = list.substr(0, comma);
        const auto& libraries = tlsLibraries();
        const auto found = std::find_if(libraries.begin(), libraries.end(),
                                        [&](const TlsLibrary& library) { return library.kind == kind; });
        if (found == libraries.end()) {
            error = "unknown library kind \"" + std::string(kind) + "\" (openssl, gnutls, nspr)";
            return std::nullopt;
        }
        if (std::find(chosen.begin(), chosen.end(), &*found) == chosen.end()) {
            chosen.push_back(&*found);
        }
        if (comma == std::string_view::npos) {
            return chosen;
        }
        list.remove_prefix(comma + 1);
    }
}

} // namespace velmora::tlsprobe
