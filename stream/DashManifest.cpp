#include "stream/DashManifest.h"

#include "capture/HeaderText.h"
#include "stream/UriReference.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <charconv>
#include <cstring>
#include <memory>

namespace velmora {

namespace {

struct DocumentFree {
    void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};

std::string_view nameOf(const xmlNode* node) {
    return reinterpret_cast<const char*>(node->name);
}

// An attribute's value, or nothing.
std::optional<std::string> attribute(const xmlNode* node, const char* name) {
    xmlChar* value = xmlGetNoNsProp(node, reinterpret_cast<const xmlChar*>(name));
    if (value == nullptr)
        return std::nullopt;
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

std::string text(const xmlNode* node) {
    xmlChar* content = xmlNodeGetContent(node);
    if (content == nullptr)
        return {};
    std::string value(TrimHeaderSpace(reinterpret_cast<const char*>(content)));
    xmlFree(content);
    return value;
}

std::uint64_t integer(const std::optional<std::string>& text) {
    std::uint64_t value = 0;
    if (text)
        std::from_chars(text->data(), text->data() + text->size(), value);
    return value;
}

// "video/mp4" or contentType "video" -> "video".
std::string kindOf(const std::optional<std::string>& contentType, const std::optional<std::string>& mimeType) {
    if (contentType && !contentType->empty())
        return *contentType;
    if (mimeType)
        return mimeType->substr(0, mimeType->find('/'));
    return {};
}

// What the levels below an element inherit from it: the base address and the segment addressing.
struct Inherited {
    std::string base;
    const xmlNode* segmentTemplate = nullptr;
    std::optional<std::string> mimeType, contentType, codecs;
};

class Reader {
public:
    Reader(const DashLimits& limits, DashManifest& manifest) : limits_(limits), manifest_(manifest) {}

    // The BaseURL child of an element resolved against what it inherits.
    std::string baseOf(const xmlNode* element, const std::string& inherited) const {
        for (const xmlNode* child = element->children; child; child = child->next)
            if (child->type == XML_ELEMENT_NODE && nameOf(child) == "BaseURL")
                if (auto resolved = ResolveUri(inherited, text(child)))
                    return *resolved;
        return inherited;
    }

    void period(const xmlNode* node, Inherited inherited, int depth) {
        inherited.base = baseOf(node, inherited.base);
        inherited.segmentTemplate = child(node, "SegmentTemplate") ? child(node, "SegmentTemplate") : inherited.segmentTemplate;
        for (const xmlNode* set = node->children; set; set = set->next)
            if (set->type == XML_ELEMENT_NODE && nameOf(set) == "AdaptationSet" && depth < limits_.depth)
                adaptationSet(set, inherited, depth + 1);
    }

    void adaptationSet(const xmlNode* node, Inherited inherited, int depth) {
        DashAdaptationSet set;
        inherited.base = baseOf(node, inherited.base);
        if (const xmlNode* found = child(node, "SegmentTemplate"))
            inherited.segmentTemplate = found;
        if (auto value = attribute(node, "mimeType"))
            inherited.mimeType = value;
        if (auto value = attribute(node, "contentType"))
            inherited.contentType = value;
        if (auto value = attribute(node, "codecs"))
            inherited.codecs = value;
        set.protectedContent = child(node, "ContentProtection") != nullptr;
        for (const xmlNode* element = node->children; element; element = element->next) {
            if (element->type != XML_ELEMENT_NODE || nameOf(element) != "Representation" || depth >= limits_.depth)
                continue;
            if (represented_ >= limits_.representations) {
                manifest_.cut = true;
                break;
            }
            ++represented_;
            if (child(element, "ContentProtection"))
                set.protectedContent = true;
            set.representations.push_back(representation(element, inherited));
        }
        manifest_.drm = manifest_.drm || set.protectedContent;
        if (!set.representations.empty()) {
            set.kind = set.representations.front().kind;
            for (const DashRepresentation& r : set.representations)
                if (r.kind != set.kind)
                    set.kind.clear();
        }
        manifest_.sets.push_back(std::move(set));
    }

    DashRepresentation representation(const xmlNode* node, Inherited inherited) {
        DashRepresentation r;
        r.id = attribute(node, "id").value_or("");
        r.bandwidth = integer(attribute(node, "bandwidth"));
        r.width = static_cast<int>(integer(attribute(node, "width")));
        r.height = static_cast<int>(integer(attribute(node, "height")));
        r.codecs = attribute(node, "codecs").value_or(inherited.codecs.value_or(""));
        const auto mimeType = attribute(node, "mimeType");
        r.kind = kindOf(inherited.contentType, mimeType ? mimeType : inherited.mimeType);
        if (r.kind.empty() && r.width > 0)
            r.kind = "video";
        const std::string base = baseOf(node, inherited.base);
        const xmlNode* segmentTemplate = child(node, "SegmentTemplate") ? child(node, "SegmentTemplate") : inherited.segmentTemplate;
        if (segmentTemplate) {
            for (const bool init : {false, true}) {
                const auto value = attribute(segmentTemplate, init ? "initialization" : "media");
                if (!value)
                    continue;
                const auto resolved = ResolveUri(base, FillTemplate(*value, r.id, r.bandwidth));
                if (!resolved)
                    continue;
                if (auto pattern = AddressPattern::FromTemplate(*resolved))
                    (init ? r.initPatterns : r.patterns).push_back(std::move(*pattern));
                else if (resolved->find('$') == std::string::npos)
                    add(init ? r.initialisation : r.addresses, *resolved); // no identifier left: one address
            }
        } else if (const xmlNode* list = child(node, "SegmentList")) {
            if (const xmlNode* init = child(list, "Initialization"))
                if (auto source = attribute(init, "sourceURL"))
                    if (auto resolved = ResolveUri(base, *source))
                        add(r.initialisation, *resolved);
            for (const xmlNode* url = list->children; url; url = url->next)
                if (url->type == XML_ELEMENT_NODE && nameOf(url) == "SegmentURL")
                    if (auto media = attribute(url, "media"))
                        if (auto resolved = ResolveUri(base, *media))
                            add(r.addresses, *resolved);
        }
        // A single file (SegmentBase, or nothing): the BaseURL itself, fetched in ranges.
        if (!segmentTemplate && r.addresses.empty() && base != manifestAddress_)
            add(r.addresses, base);
        return r;
    }

    std::string manifestAddress_;

private:
    static const xmlNode* child(const xmlNode* node, std::string_view name) {
        for (const xmlNode* c = node->children; c; c = c->next)
            if (c->type == XML_ELEMENT_NODE && nameOf(c) == name)
                return c;
        return nullptr;
    }

    void add(std::vector<std::string>& into, std::string address) {
        if (addresses_ >= limits_.addresses) {
            manifest_.cut = true;
            return;
        }
        ++addresses_;
        into.push_back(std::move(address));
    }

    const DashLimits& limits_;
    DashManifest& manifest_;
    std::size_t represented_ = 0;
    std::size_t addresses_ = 0;
};

} // namespace

bool LooksLikeDash(std::string_view body) {
    // The root element's name, past the declaration, comments and blanks: "<MPD" or "<prefix:MPD".
    for (std::size_t at = body.find('<'); at != std::string_view::npos && at < 4096; at = body.find('<', at + 1)) {
        const std::string_view rest = body.substr(at + 1);
        if (rest.starts_with("?") || rest.starts_with("!"))
            continue;
        const std::size_t end = rest.find_first_of(" \t\r\n>/");
        const std::string_view name = rest.substr(0, end);
        const std::size_t colon = name.find(':');
        return (colon == std::string_view::npos ? name : name.substr(colon + 1)) == "MPD";
    }
    return false;
}

double DashDurationSeconds(std::string_view text) {
    // xs:duration as MPDs use it: PnYnMnDTnHnMnS (years and months are not used for media).
    if (!text.starts_with("P"))
        return 0;
    text.remove_prefix(1);
    double seconds = 0;
    bool time = false;
    while (!text.empty()) {
        if (text.front() == 'T') {
            time = true;
            text.remove_prefix(1);
            continue;
        }
        double value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end == text.data() + text.size())
            return 0;
        const char unit = *end;
        text.remove_prefix(static_cast<std::size_t>(end - text.data()) + 1);
        if (unit == 'D')
            seconds += value * 86400;
        else if (unit == 'H' && time)
            seconds += value * 3600;
        else if (unit == 'M' && time)
            seconds += value * 60;
        else if (unit == 'S' && time)
            seconds += value;
        else
            return 0;
    }
    return seconds >= 0 && seconds < 1e9 ? seconds : 0;
}

std::optional<DashManifest> ReadDashManifest(std::string_view text, std::string_view address, const DashLimits& limits) {
    const auto self = ResolveUri(address, address);
    if (!self || !LooksLikeDash(text) || text.size() > INT32_MAX)
        return std::nullopt;
    // No network, no entities substituted, no DTD: a manifest is data, and its server wrote it.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA;
    std::unique_ptr<xmlDoc, DocumentFree> document(
        xmlReadMemory(text.data(), static_cast<int>(text.size()), self->c_str(), nullptr, options));
    if (!document)
        return std::nullopt;
    const xmlNode* root = xmlDocGetRootElement(document.get());
    if (root == nullptr || nameOf(root) != "MPD")
        return std::nullopt;
    DashManifest manifest;
    manifest.live = attribute(root, "type").value_or("static") == "dynamic";
    manifest.duration = DashDurationSeconds(attribute(root, "mediaPresentationDuration").value_or(""));
    Reader reader(limits, manifest);
    reader.manifestAddress_ = *self;
    Inherited top;
    top.base = reader.baseOf(root, *self);
    for (const xmlNode* node = root->children; node; node = node->next)
        if (node->type == XML_ELEMENT_NODE && nameOf(node) == "Period")
            reader.period(node, top, 1);
    return manifest;
}

} // namespace velmora
