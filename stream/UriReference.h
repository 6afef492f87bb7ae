#pragma once
// Addresses inside a manifest resolved against the manifest's own address (RFC 3986 section 5.2):
// relative paths, "../", absolute paths, network paths ("//host/…") and whole addresses. Only http and
// https come out: a manifest is written by the server, and file:, data: or javascript: addresses are
// never listed or handed to a downloader.

#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// The reference resolved against `base` (itself an absolute http or https address); nothing when
// either is not http or https, or the result would not be.
std::optional<std::string> ResolveUri(std::string_view base, std::string_view reference);

// ResolveUri for the many references of one manifest: a playlist of thousands of segments names each
// by a bare file name ("seg_01234.ts"), which is joined to the base's folder, read once, as
// ResolveUri would join it; any other reference takes the general way.
class UriResolver final {
public:
    explicit UriResolver(std::string_view base);
    std::optional<std::string> Resolve(std::string_view reference) const;

private:
    std::string base_;
    std::optional<std::string> folder_; // scheme://authority/path/ as resolved, up to its last "/"
};

} // namespace velmora
