#include "stream/UriReference.h"

#include "capture/HeaderText.h"

#include <algorithm>

namespace velmora {

namespace {

// The five parts of RFC 3986 appendix B: scheme, authority, path, query, fragment (each may be absent).
struct Parts {
    std::optional<std::string_view> scheme, authority, query;
    std::string_view path;
};

Parts split(std::string_view uri) {
    Parts parts;
    if (const std::size_t hash = uri.find('#'); hash != std::string_view::npos)
        uri = uri.substr(0, hash);
    const std::size_t colon = uri.find(':');
    const std::size_t firstDelimiter = uri.find_first_of("/?#");
    if (colon != std::string_view::npos && colon > 0 && (firstDelimiter == std::string_view::npos || colon < firstDelimiter) &&
        std::all_of(uri.begin(), uri.begin() + static_cast<std::ptrdiff_t>(colon), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
                   c == '.';
        })) {
        parts.scheme = uri.substr(0, colon);
        uri.remove_prefix(colon + 1);
    }
    if (uri.starts_with("//")) {
        uri.remove_prefix(2);
        const std::size_t end = uri.find_first_of("/?");
        parts.authority = uri.substr(0, end);
        uri.remove_prefix(end == std::string_view::npos ? uri.size() : end);
    }
    if (const std::size_t question = uri.find('?'); question != std::string_view::npos) {
        parts.query = uri.substr(question + 1);
        uri = uri.substr(0, question);
    }
    parts.path = uri;
    return parts;
}

// RFC 3986 section 5.2.4.
std::string removeDotSegments(std::string_view input) {
    std::string output;
    while (!input.empty()) {
        if (input.starts_with("../")) {
            input.remove_prefix(3);
        } else if (input.starts_with("./")) {
            input.remove_prefix(2);
        } else if (input.starts_with("/./")) {
            input.remove_prefix(2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.starts_with("/../") || input == "/..") {
            input = input.size() == 3 ? std::string_view("/") : input.substr(3);
            const std::size_t slash = output.rfind('/');
            output.resize(slash == std::string::npos ? 0 : slash);
        } else if (input == "." || input == "..") {
            input = {};
        } else {
            const std::size_t next = input.find('/', input.front() == '/' ? 1 : 0);
            output.append(input.substr(0, next));
            input.remove_prefix(next == std::string_view::npos ? input.size() : next);
        }
    }
    return output;
}

bool webScheme(std::string_view scheme) {
    return EqualsIgnoringAsciiCase(scheme, "http") || EqualsIgnoringAsciiCase(scheme, "https");
}

} // namespace

std::optional<std::string> ResolveUri(std::string_view base, std::string_view reference) {
    // Manifests are text: the address is what stands between blanks.
    reference = TrimHeaderSpace(reference);
    const Parts b = split(base);
    if (!b.scheme || !b.authority || !webScheme(*b.scheme) || b.authority->empty())
        return std::nullopt;
    const Parts r = split(reference);
    std::string scheme, authority, path;
    std::optional<std::string_view> query;
    if (r.scheme) {
        if (!webScheme(*r.scheme) || !r.authority || r.authority->empty())
            return std::nullopt;
        scheme = *r.scheme;
        authority = *r.authority;
        path = removeDotSegments(r.path);
        query = r.query;
    } else if (r.authority) {
        if (r.authority->empty())
            return std::nullopt;
        scheme = *b.scheme;
        authority = *r.authority;
        path = removeDotSegments(r.path);
        query = r.query;
    } else {
        scheme = *b.scheme;
        authority = *b.authority;
        if (r.path.empty()) {
            path = std::string(b.path);
            query = r.query ? r.query : b.query;
        } else {
            if (r.path.front() == '/') {
                path = removeDotSegments(r.path);
            } else {
                // Merge (5.2.3): the base's path up to its last "/", then the reference's.
                const std::size_t slash = b.path.rfind('/');
                const std::string merged =
                    slash == std::string_view::npos ? "/" + std::string(r.path) : std::string(b.path.substr(0, slash + 1)) + std::string(r.path);
                path = removeDotSegments(merged);
            }
            query = r.query;
        }
    }
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (path.empty())
        path = "/";
    std::string out = scheme + "://" + authority + path;
    if (query)
        out.append("?").append(*query);
    return out;
}

UriResolver::UriResolver(std::string_view base) : base_(base) {
    // A one-letter name stands for any bare file name: dot segments and the merge act on the folder alone.
    if ((folder_ = ResolveUri(base, "x")))
        folder_->pop_back();
}

std::optional<std::string> UriResolver::Resolve(std::string_view reference) const {
    const std::string_view name = TrimHeaderSpace(reference);
    const bool bare = !name.empty() && name != "." && name != ".." && name.find_first_of(":/?#") == std::string_view::npos;
    if (!bare || !folder_)
        return ResolveUri(base_, reference);
    std::string out;
    out.reserve(folder_->size() + name.size());
    return out.append(*folder_).append(name);
}

} // namespace velmora
