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
enum class EntryProgram {
    SslWrite,
    SslWriteEx,
    SslRead,
    SslReadEx,
    GnutlsSend,
    GnutlsRecv,
    PrWrite,
    PrSend,
    PrRead,
    PrRecv
};

struct HookedFunction {
    std::string_view name;
    EntryProgram program;
    probe::Direction direction;
};

struct TlsLibrary {
    std::string_view kind;   // as --kinds names it
    std::string_view soname; // the file a process maps is named so, or so plus a version ("libgnutls.so.30.34.3")
    probe::Library library;
    std::array<HookedFunction, 4> functions;

    bool names(std::string_view fileName) const {
        return fileName.starts_with(soname) && (fileName.size() == soname.size() || fileName[soname.size()] == '.');
    }
};

const std::array<TlsLibrary, 3>& tlsLibraries();

// "openssl,gnutls" -> those libraries; nothing when a name is unknown (error says which).
std::optional<std::vector<const TlsLibrary*>> parseKinds(std::string_view list, std::string& error);

} // namespace velmora::tlsprobe
