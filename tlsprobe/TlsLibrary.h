#pragma once
// The TLS libraries velmora-tls knows: the file a process maps and the functions hooked in it. Callers name
// kinds only; the files and functions are fixed here.

#include "probe/ProbeWire.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::tlsprobe {

// Which entry program of the BPF object serves a function.
enum class EntryProgram { SslWrite, SslWriteEx, SslRead, SslReadEx, GnutlsSend, GnutlsRecv, PrWrite, PrSend, PrRead, PrRecv };

struct HookedFunction {
    std::string_view name;
    EntryProgram program;
    probe::Direction direction;
};

struct TlsLibrary {
    std::string_view kind;     // as --kinds names it
    std::string_view fileName; // the shared object's name in /proc/PID/maps
    probe::Library library;
    std::array<HookedFunction, 4> functions;
};

const std::array<TlsLibrary, 3>& tlsLibraries();

// "openssl,gnutls" -> those libraries; nothing when a name is unknown (error says which).
std::optional<std::vector<const TlsLibrary*>> parseKinds(std::string_view list, std::string& error);

} // namespace velmora::tlsprobe
