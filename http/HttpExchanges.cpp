#include "http/HttpExchanges.h"

#include <algorithm>
#include <utility>

namespace velmora {

void HttpExchanges::Request(HttpRequest& request) {
    await(request);
    sink_.Request(request);
}

void HttpExchanges::await(const HttpRequest& request) {
    // HTTP/2 pairs by stream id and only a GET's answer is wanted; HTTP/1.x pairs by order, so every
    // request keeps its place.
    const bool http2 = request.stream != 0;
    if (broken_ || (http2 && request.method != "GET"))
        return;
    Pending pending;
    pending.request.method = request.method;
    pending.request.stream = request.stream;
    if (request.method == "GET") {
        pending.request.authority = request.authority;
        pending.request.target = request.target;
        pending.request.text = request.text.substr(0, kMaxRequestText);
        pending.request.packet = request.packet;
    }
    if (pending_.size() >= kMaxPending) {
        // HTTP/2: a stream that was never answered (reset) makes room. HTTP/1.x: the order would be
        // lost, so pairing stops.
        if (!http2)
            return stop();
        pop(pending_.begin());
    }
    const std::size_t cost = sizeof(Pending) + pending.request.authority.capacity() +
                             pending.request.target.capacity() + pending.request.text.capacity();
    if (budget_.Take(cost)) {
        pending.cost = cost;
        pending_.push_back(std::move(pending));
    } else if (!http2) {
        stop();
    }
}

void HttpExchanges::RequestRefused() {
    // It keeps its place in the order, unnamed, so that the answers after it pair as they should.
    HttpRequest unnamed;
    unnamed.method = "-";
    await(unnamed);
}

void HttpExchanges::pop(std::deque<Pending>::iterator at) {
    budget_.Give(at->cost);
    pending_.erase(at);
}

void HttpExchanges::Restart() {
    for (const Pending& p : pending_)
        budget_.Give(p.cost);
    pending_.clear();
    bodies_.clear();
}

void HttpExchanges::stop() {
    Restart();
    http1_.reset();
    http2_.reset();
    broken_ = true;
}

std::size_t HttpExchanges::answer(const HttpRequest* request, HttpResponseHead& head) {
    if (request && request->method == "GET")
        return sink_.Response(*request, head);
    return 0;
}

bool HttpExchanges::ServerBytes(std::span<const std::uint8_t> bytes, PacketNumber packet) {
    if (broken_ || bytes.empty())
        return !broken_;
    if (!http1_ && !http2_) {
        // An HTTP/1.x answer begins with "HTTP/", an HTTP/2 server with a SETTINGS frame.
        if (bytes[0] == 'H') {
            startHttp1();
        } else if (bytes[0] == 0) {
            http2_.emplace(
                budget_,
                [this](std::uint32_t stream, HttpResponseHead& head) {
                    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
                        if (it->request.stream == stream) {
                            if (const std::size_t keep = answer(&it->request, head);
                                keep > 0 && bodies_.size() < Http2FrameReader::kMaxKeptStreams &&
                                http2_->KeepBody(stream, keep)) {
                                bodies_.push_back(it->request);
                                bodies_.back().text.clear(); // only its address is wanted
                            }
                            pop(it);
                            return;
                        }
                    }
                },
                [this](std::uint32_t stream, std::span<const std::uint8_t> body, bool complete) {
                    const auto it = std::find_if(bodies_.begin(), bodies_.end(),
                                                 [stream](const HttpRequest& r) { return r.stream == stream; });
                    if (it == bodies_.end())
                        return;
                    const HttpRequest request = std::move(*it);
                    bodies_.erase(it);
                    sink_.ResponseBody(request, body, complete);
                });
        } else {
            broken_ = true;
            return false;
        }
    }
    const bool ok = http1_ ? http1_->Add(bytes, packet) : http2_->Add(bytes, packet);
    if (!ok)
        stop();
    return ok;
}

void HttpExchanges::startHttp1() {
    http1_.emplace(budget_, [this](HttpResponseHead& head) {
        if (pending_.empty())
            return false; // an answer to a request not kept
        const bool answersHead = pending_.front().request.method == "HEAD";
        if (const std::size_t keep = answer(&pending_.front().request, head); keep > 0) {
            HttpRequest request = pending_.front().request;
            request.text.clear(); // only its address is wanted
            http1_->KeepBody(keep, [this, request = std::move(request)](std::span<const std::uint8_t> body, bool complete) {
                sink_.ResponseBody(request, body, complete);
            });
        }
        pop(pending_.begin());
        return answersHead;
    });
}

bool HttpExchanges::Lost(std::uint64_t n) {
    const std::size_t beforeGap = std::exchange(pendingAtGap_, SIZE_MAX);
    if (broken_ || n == 0)
        return !broken_;
    // The server's first bytes went: HTTP/1.x (the requests say so) picks up at its next status line.
    if (!http1_ && !http2_ && (pending_.empty() || pending_.front().request.stream == 0))
        startHttp1();
    if (http1_) {
        const bool inStep = http1_->Lost(n);
        // The answers of the requests sent before the gap went with it, when it cost anything.
        for (std::size_t i = inStep ? 0 : std::min(beforeGap, pending_.size()); i > 0; --i)
            pop(pending_.begin());
        return inStep;
    }
    if (http2_ && n <= http2_->BodyBytesAhead()) {
        http2_->SkipBody(n);
        return true;
    }
    stop();
    return false;
}

std::uint64_t HttpExchanges::BodyBytesAhead() const {
    if (http1_)
        return http1_->BodyBytesAhead();
    if (http2_)
        return http2_->BodyBytesAhead();
    return 0;
}

bool HttpExchanges::KeepsDataOf(std::uint32_t stream) const {
    return http2_ && http2_->KeepsBody(stream);
}

void HttpExchanges::SkipBody(std::uint64_t n) {
    if (http1_)
        http1_->SkipBody(n);
    else if (http2_)
        http2_->SkipBody(n);
}

} // namespace velmora
