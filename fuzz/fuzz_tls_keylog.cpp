// Feeds arbitrary text to the TLS key log reader in two pieces, as a file that grows between two
// reads, then looks up client randoms taken from the input.
#include "tls/KeyLog.h"

#include <cstddef>
#include <cstdint>
#include <span>

using namespace velmora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::span input(data + 1, size - 1);
    const std::size_t cut = input.empty() ? 0 : data[0] % (input.size() + 1);
    KeyLog log;
    log.AddText(input.first(cut));
    log.AddText(input.subspan(cut));
    log.AddText(std::string_view("\n"));
    for (std::size_t at = 0; at + 32 <= input.size(); at += 97) {
        const TlsSecrets* secrets = log.Find(input.subspan(at).first<32>());
        if (secrets && secrets->master.known() && secrets->master.length != 48)
            __builtin_trap();
    }
    return 0;
}
