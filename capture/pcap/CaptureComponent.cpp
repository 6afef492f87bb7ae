#include "capture/pcap/CaptureComponent.h"

#include "capture/TcpPayload.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string_view>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <system_error>
#include <utility>

namespace velmora {

// The payload locator knows link types by number; they must be the ones libpcap hands out here.
static_assert(linktype::kNull == DLT_NULL && linktype::kEthernet == DLT_EN10MB && linktype::kRaw == DLT_RAW &&
              linktype::kLoop == DLT_LOOP && linktype::kLinuxSll == DLT_LINUX_SLL && linktype::kIpv4 == DLT_IPV4 &&
              linktype::kIpv6 == DLT_IPV6 && linktype::kLinuxSll2 == DLT_LINUX_SLL2);

namespace {

constexpr int kStatsIntervalMs = 250;

// The part of a frame that ReadPacket copies and the address scans read.
std::span<const std::uint8_t> scannedPart(std::span<const std::uint8_t> frame) {
    return frame.first(std::min(frame.size(), static_cast<std::size_t>(CaptureComponent::kMaxFrameBytes)));
}

// What onLiveFrame needs to know about the run it serves.
struct LiveRun {
    CaptureComponent* component;
    pcap_t* handle;
    std::uint64_t runId;
    int linkType;
};

std::string quoted(const std::string& name) {
    return "\"" + name + "\"";
}

std::string activationError(const std::string& name, int status, pcap_t* handle) {
    const std::string detail = pcap_geterr(handle);
    std::string text = "Cannot open adapter " + quoted(name) + ": ";
    if (status == PCAP_ERROR) {
        return text + detail;
    }
    text += pcap_statustostr(status);
    if (!detail.empty() && detail != pcap_statustostr(status)) {
        text += " (" + detail + ")";
    }
    return text;
}

// libpcap starts some open errors with the path itself; the message names it already.
std::string withoutPathPrefix(std::string_view reason, const std::string& path) {
    const std::string prefix = path + ": ";
    if (reason.substr(0, prefix.size()) == prefix) {
        reason.remove_prefix(prefix.size());
    }
    return std::string(reason);
}

std::uint32_t ipv4Of(const sockaddr* address) {
    if (address == nullptr || address->sa_family != AF_INET) {
        return 0;
    }
    sockaddr_in in{};
    std::memcpy(&in, address, sizeof in);
    return ntohl(in.sin_addr.s_addr);
}

// A damaged or odd file (pcapng in seconds resolution, say) can give any seconds value; held to a
// range whose microsecond count cannot overflow.
std::chrono::microseconds timestampOf(std::int64_t tvSec, std::int64_t tvUsec) {
    constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / 1000000 - 100000;
    const std::int64_t seconds = std::clamp<std::int64_t>(tvSec, -kLimit, kLimit);
    const std::int64_t micros = std::clamp<std::int64_t>(tvUsec, -99999999999, 99999999999);
    return std::chrono::microseconds(seconds * 1000000 + micros);
}

// 0 for what has no size (a pipe): its progress stays unknown.
std::uint64_t fileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
}

AdapterList findAdapters() {
    AdapterList list;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* devices = nullptr;
    if (pcap_findalldevs(&devices, errbuf) != 0) {
        list.result = CaptureResult::Failure(std::string("Cannot list the capture adapters: ") + errbuf);
        return list;
    }
    const std::unique_ptr<pcap_if_t, decltype(&pcap_freealldevs)> owner(devices, &pcap_freealldevs);
    for (const pcap_if_t* device = devices; device != nullptr; device = device->next) {
        AdapterInfo info;
        info.name = device->name;
        info.description = device->description != nullptr ? device->description : "";
        info.loopback = (device->flags & PCAP_IF_LOOPBACK) != 0;
        info.up = (device->flags & PCAP_IF_UP) != 0;
        info.running = (device->flags & PCAP_IF_RUNNING) != 0;
        for (const pcap_addr_t* address = device->addresses; address != nullptr; address = address->next) {
            if (address->addr != nullptr && address->addr->sa_family == AF_INET) {
                info.address = ipv4Of(address->addr);
                info.mask = ipv4Of(address->netmask);
                break;
            }
        }
        list.adapters.push_back(std::move(info));
    }
    return list;
}

} // namespace

CaptureComponent::CaptureComponent(QueueLimits limits) : queue_(limits.maxFrames, limits.maxBytes) {}

CaptureComponent::~CaptureComponent() {
    CloseAdapter();
}

std::vector<std::string> CaptureComponent::ListAdapters() const {
    std::vector<std::string> names;
    for (AdapterInfo& adapter : findAdapters().adapters) {
        names.push_back(std::move(adapter.name));
    }
    return names;
}

AdapterList CaptureComponent::ListAdapterDetails() const {
    return findAdapters();
}

CaptureResult CaptureComponent::LookupNetwork(const std::string& name, std::uint32_t& address,
                                              std::uint32_t& mask) const {
    address = 0;
    mask = 0;
    AdapterList list = findAdapters();
    if (!list.result) {
        return list.result;
    }
    for (const AdapterInfo& adapter : list.adapters) {
        if (adapter.name == name) {
            address = adapter.address;
            mask = adapter.mask;
            return CaptureResult::Success();
        }
    }
    return CaptureResult::Failure("There is no adapter named " + quoted(name));
}

CaptureResult CaptureComponent::refuseWhileCapturing(const char* operation) const {
    return CaptureResult::Failure(std::string(operation) + " is not possible while " + quoted(sourceName_) +
                                  " is being captured");
}

CaptureResult CaptureComponent::OpenAdapter(const std::string& name) {
    if (IsCapturing()) {
        return refuseWhileCapturing("Opening an adapter");
    }
    CloseAdapter();
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    // pcap_create only records the name. A short trial activation finds a missing adapter or a
    // missing privilege now, so a failed open is never mistaken for a capture about to start.
    PcapHandle trial(pcap_create(name.c_str(), errbuf));
    if (!trial) {
        return CaptureResult::Failure("Cannot open adapter " + quoted(name) + ": " + errbuf);
    }
    pcap_set_snaplen(trial.get(), 64);
    pcap_set_buffer_size(trial.get(), 64 * 1024);
    if (const int status = pcap_activate(trial.get()); status < 0) {
        const std::string failure = activationError(name, status, trial.get());
        if (status == PCAP_ERROR_PERM_DENIED) {
            return openThroughHelper(name, failure);
        }
        return CaptureResult::Failure(failure);
    }
    trial.reset();

    PcapHandle handle(pcap_create(name.c_str(), errbuf));
    if (!handle) {
        return CaptureResult::Failure("Cannot open adapter " + quoted(name) + ": " + errbuf);
    }
    adapter_ = std::move(handle);
    source_ = Source::Adapter;
    sourceName_ = name;
    return CaptureResult::Success();
}

CaptureResult CaptureComponent::openThroughHelper(const std::string& name, const std::string& directFailure) {
    const std::string program = CaptureHelper::Locate();
    if (program.empty()) {
        return CaptureResult::Failure(directFailure);
    }
    if (const CaptureResult checked = CaptureHelper::Check(program, name); !checked) {
        return CaptureResult::Failure(directFailure + "; through the capture helper: " + checked.message);
    }
    helperProgram_ = program;
    source_ = Source::Helper;
    sourceName_ = name;
    return CaptureResult::Success();
}

CaptureResult CaptureComponent::OpenFile(const std::string& path) {
    return OpenFiles({path});
}

CaptureResult CaptureComponent::OpenFiles(const std::vector<std::string>& paths) {
    if (IsCapturing()) {
        return refuseWhileCapturing("Opening a capture file");
    }
    CloseAdapter();
    if (paths.empty()) {
        return CaptureResult::Failure("No capture file was given");
    }
    std::vector<CaptureFile> files;
    for (const std::string& path : paths) {
        char errbuf[PCAP_ERRBUF_SIZE] = {};
        PcapHandle handle(pcap_open_offline(path.c_str(), errbuf));
        if (!handle) {
            return CaptureResult::Failure("Cannot read capture file " + quoted(path) + ": " +
                                          withoutPathPrefix(errbuf, path));
        }
        files.push_back({path, std::move(handle)});
    }
    files_ = std::move(files);
    filesBytesTotal_ = 0;
    for (const CaptureFile& file : files_) {
        filesBytesTotal_ += fileSize(file.path);
    }
    source_ = Source::Files;
    sourceName_ = paths.front();
    return CaptureResult::Success();
}

CaptureResult CaptureComponent::SetPacketFilter(std::int32_t packetType) {
    if (IsCapturing()) {
        return refuseWhileCapturing("Changing the packet filter");
    }
    promiscuous_ = (packetType & kPromiscuous) != 0;
    return CaptureResult::Success();
}

CaptureResult CaptureComponent::SetReadTimeout(std::int32_t milliseconds) {
    if (IsCapturing()) {
        return refuseWhileCapturing("Changing the read time-out");
    }
    if (milliseconds < 0) {
        return CaptureResult::Failure("Read time-out " + std::to_string(milliseconds) + " ms is negative");
    }
    readTimeoutMs_ = milliseconds;
    return CaptureResult::Success();
}

CaptureResult CaptureComponent::AllocatePacket() {
    if (!IsOpen()) {
        return CaptureResult::Failure("No adapter or capture file is open");
    }
    return CaptureResult::Success();
}

CaptureResult CaptureComponent::InitPacket(std::int32_t snapLength) {
    if (IsCapturing()) {
        return refuseWhileCapturing("Changing the receive size");
    }
    if (snapLength <= 0) {
        return CaptureResult::Failure("Receive size " + std::to_string(snapLength) + " is not positive");
    }
    snapLength_ = std::min(snapLength, kSnapLength);
    return CaptureResult::Success();
}

CaptureResult CaptureComponent::SetBufferSize(std::int32_t bytes) {
    if (IsCapturing()) {
        return refuseWhileCapturing("Changing the buffer size");
    }
    if (bytes <= 0) {
        return CaptureResult::Failure("Buffer size " + std::to_string(bytes) + " is not positive");
    }
    kernelBuffer_ = std::max(bytes, kMinimumKernelBuffer);
    return CaptureResult::Success();
}

std::int32_t CaptureComponent::ringBytes() const {
    return snapLength_ > kMaxFrameBytes ? std::max(kernelBuffer_, kWholeFrameKernelBuffer) : kernelBuffer_;
}

bool CaptureComponent::IsCapturing() const {
    return (thread_.joinable() || readingFiles_) && !sourceEnded_;
}

CaptureResult CaptureComponent::StartCapture() {
    if (IsCapturing()) {
        return CaptureResult::Failure("A capture of " + quoted(sourceName_) + " is already running");
    }
    if (!IsOpen()) {
        return CaptureResult::Failure("No adapter or capture file is open");
    }
    if (sourceSpent_) {
        return CaptureResult::Failure(quoted(sourceName_) + " was captured already; open it again first");
    }
    std::string warning;
    if (source_ == Source::Adapter) {
        pcap_t* handle = adapter_.get();
        pcap_set_snaplen(handle, snapLength_);
        pcap_set_promisc(handle, promiscuous_ ? 1 : 0);
        pcap_set_timeout(handle, readTimeoutMs_);
        pcap_set_buffer_size(handle, ringBytes());
        const int status = pcap_activate(handle);
        if (status < 0) {
            CaptureResult failure = CaptureResult::Failure(activationError(sourceName_, status, handle));
            CloseAdapter(); // a handle whose activation failed cannot be activated again
            return failure;
        }
        if (status > 0) {
            warning = "Adapter " + quoted(sourceName_) + ": " + pcap_statustostr(status);
        }
        char errbuf[PCAP_ERRBUF_SIZE] = {};
        // Non-blocking reads behind our own poll: a blocking read does not return on an idle adapter.
        if (pcap_setnonblock(handle, 1, errbuf) != 0 || pcap_get_selectable_fd(handle) < 0) {
            CaptureResult failure = CaptureResult::Failure("Cannot capture on adapter " + quoted(sourceName_) + ": " +
                                                           (errbuf[0] != 0 ? errbuf : "no pollable descriptor"));
            CloseAdapter();
            return failure;
        }
        liveLinkType_ = pcap_datalink(handle);
    } else if (source_ == Source::Helper) {
        // Zeroed before the helper starts: its first report may come before this function returns.
        received_ = 0;
        droppedByKernel_ = 0;
        droppedByInterface_ = 0;
        const CaptureHelper::Settings settings{sourceName_, snapLength_, promiscuous_, ringBytes(), readTimeoutMs_};
        const CaptureResult started = helper_.Start(helperProgram_, settings, [this](const HelperCounters& counters) {
            received_ = counters.received;
            droppedByKernel_ = counters.droppedByKernel;
            droppedByInterface_ = counters.droppedByInterface;
        });
        if (!started) {
            CaptureResult failure = CaptureResult::Failure("Cannot open adapter " + quoted(sourceName_) +
                                                           " through the capture helper: " + started.message);
            CloseAdapter();
            return failure;
        }
        if (!started.message.empty()) {
            warning = "Adapter " + quoted(sourceName_) + ": " + started.message;
        }
        liveLinkType_ = pcap_datalink(helper_.Stream());
    }

    for (auto* counter : {&queued_, &delivered_, &discardedAtStop_}) {
        counter->store(0);
    }
    if (source_ != Source::Helper) {
        for (auto* counter : {&received_, &droppedByKernel_, &droppedByInterface_}) {
            counter->store(0);
        }
    }
    {
        std::lock_guard lock(endMutex_);
        endResult_ = CaptureResult::Success();
        damage_.reset();
    }
    filesBytesRead_ = 0;
    stopRequested_ = false;
    sourceEnded_ = false;
    runNotifier_ = framesAvailable_;
    if (source_ == Source::Files) {
        fileIndex_ = 0;
        filesBefore_ = 0;
        framesReadInFile_ = 0;
        fileReader_ = CaptureFileReader(files_.front().handle.get());
        readingFiles_ = true;
        sourceSpent_ = true;
        if (runNotifier_) {
            runNotifier_();
        }
        return CaptureResult::Success(warning);
    }

    wakeFd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wakeFd_) {
        return CaptureResult::Failure("Cannot start capturing " + quoted(sourceName_) + ": " + std::strerror(errno));
    }
    const std::uint64_t runId = ++runId_;
    queue_.BeginRun(runId);
    try {
        thread_ = std::thread(
            source_ == Source::Helper ? &CaptureComponent::readHelper : &CaptureComponent::readAdapter, this, runId);
    } catch (const std::system_error& error) {
        queue_.Cancel();
        return CaptureResult::Failure("Cannot start the capture thread for " + quoted(sourceName_) + ": " +
                                      error.what());
    }
    sourceSpent_ = true;
    return CaptureResult::Success(warning);
}

CaptureResult CaptureComponent::StopCapture() {
    if (readingFiles_) {
        readingFiles_ = false;
        fileReader_ = {};
        announced_ = false;
        return CaptureResult::Success();
    }
    if (!thread_.joinable()) {
        return CaptureResult::Success();
    }
    if (std::this_thread::get_id() == thread_.get_id()) {
        return CaptureResult::Failure("StopCapture was called on the capture thread, which cannot join itself");
    }
    stopRequested_ = true;
    // Cancel first: a reader waiting for room in the queue wakes and gives up.
    std::uint64_t dropped = queue_.Cancel();
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeFd_.get(), &one, sizeof one);
    if (source_ == Source::Adapter) {
        pcap_breakloop(adapter_.get());
    }
    // The helper's stream ends when it does; until then the capture thread may wait for its next frame.
    helper_.Terminate();
    thread_.join();
    dropped += queue_.Cancel();
    discardedAtStop_ += dropped;
    announced_ = false;
    return CaptureResult::Success();
}

CaptureResult CaptureComponent::CloseAdapter() {
    if (CaptureResult stopped = StopCapture(); !stopped) {
        return stopped;
    }
    adapter_.reset();
    helper_.Close();
    helperProgram_.clear();
    files_.clear();
    wakeFd_.reset();
    source_ = Source::None;
    sourceName_.clear();
    sourceSpent_ = false;
    return CaptureResult::Success();
}

std::size_t CaptureComponent::DispatchPending(std::size_t maxFrames) {
    if (dispatching_) {
        return 0; // a handler that dispatches again would reorder frames
    }
    dispatching_ = true;
    struct Reset {
        bool& dispatching;
        bool& announced;
        ~Reset() { dispatching = announced = false; }
    } reset{dispatching_, announced_};

    if (source_ == Source::Files) {
        return dispatchFileFrames(maxFrames);
    }
    queue_.Rearm();
    std::size_t count = 0;
    while (count < maxFrames && queue_.Pop(current_)) {
        ++count;
        ++delivered_;
        currentBytes_ = current_.bytes;
        announced_ = true;
        if (packetReceived_) {
            packetReceived_(static_cast<std::int32_t>(scannedPart(current_.bytes).size()));
        }
        announced_ = false;
    }
    // A consumer that only reacts to the notifier keeps draining what this batch left behind.
    if (count == maxFrames && thread_.joinable() && queue_.Size() > 0 && runNotifier_ && queue_.ClaimWake()) {
        runNotifier_();
    }
    return count;
}

std::size_t CaptureComponent::dispatchFileFrames(std::size_t maxFrames) {
    std::size_t count = 0;
    // PacketReceived may stop the capture; nothing is read after that.
    while (count < maxFrames && readingFiles_ && !sourceEnded_) {
        FileFrame frame;
        const CaptureFileReader::Status status = fileReader_.Next(frame);
        if (status == CaptureFileReader::Status::End) {
            filesBefore_ += fileSize(files_[fileIndex_].path);
            filesBytesRead_ = filesBefore_;
            if (++fileIndex_ < files_.size()) {
                fileReader_ = CaptureFileReader(files_[fileIndex_].handle.get());
                framesReadInFile_ = 0;
                continue;
            }
            endFiles(CaptureResult::Success());
            break;
        }
        if (status == CaptureFileReader::Status::Error) {
            const std::string& path = files_[fileIndex_].path;
            {
                std::lock_guard lock(endMutex_);
                damage_ = FileDamage{path, framesReadInFile_ + 1, fileReader_.ErrorMessage()};
            }
            endFiles(CaptureResult::Failure("Capture file " + quoted(path) + " is damaged at frame " +
                                            std::to_string(framesReadInFile_ + 1) + ": " + fileReader_.ErrorMessage() +
                                            " (the " + std::to_string(framesReadInFile_) +
                                            " frames before it were read)"));
            break;
        }
        if (++framesReadInFile_ % 256 == 0) {
            filesBytesRead_ = filesBefore_ + fileReader_.Position();
        }
        ++count;
        // Only this thread writes them while files are read: plain stores, no locked increments.
        received_.store(received_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        delivered_.store(delivered_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        // Every byte the file holds goes to the engine; the address scans read the first kMaxFrameBytes.
        currentBytes_ = frame.bytes;
        current_.linkType = fileReader_.LinkType();
        current_.timestamp = timestampOf(frame.seconds, frame.microseconds);
        current_.wireLength = frame.wireLength;
        current_.markers = FindFrameMarkers(scannedPart(currentBytes_));
        announced_ = true;
        if (packetReceived_) {
            packetReceived_(static_cast<std::int32_t>(scannedPart(currentBytes_).size()));
        }
        announced_ = false;
    }
    if (count == maxFrames && readingFiles_ && !sourceEnded_ && runNotifier_) {
        runNotifier_();
    }
    return count;
}

void CaptureComponent::endFiles(CaptureResult result) {
    std::lock_guard lock(endMutex_);
    endResult_ = std::move(result);
    sourceEnded_ = true;
}

bool CaptureComponent::WaitForFrames(std::chrono::milliseconds timeout) {
    if (readingFiles_) {
        return !sourceEnded_;
    }
    if (!thread_.joinable()) {
        return false;
    }
    return queue_.WaitForFrames(timeout);
}

std::int32_t CaptureComponent::ReadPacket(std::span<std::uint8_t> captureBuffer) const {
    if (!announced_) {
        return 0;
    }
    const std::size_t count = std::min(captureBuffer.size(), scannedPart(currentBytes_).size());
    std::copy_n(currentBytes_.begin(), count, captureBuffer.begin());
    return static_cast<std::int32_t>(count);
}

std::span<const std::uint8_t> CaptureComponent::CurrentFrame() const {
    if (!announced_) {
        return {};
    }
    return currentBytes_;
}

bool CaptureComponent::Finished() const {
    if (readingFiles_) {
        return sourceEnded_;
    }
    return !thread_.joinable() || queue_.Drained();
}

CaptureResult CaptureComponent::EndResult() const {
    std::lock_guard lock(endMutex_);
    return endResult_;
}

std::optional<FileDamage> CaptureComponent::Damage() const {
    std::lock_guard lock(endMutex_);
    return damage_;
}

CaptureStats CaptureComponent::Stats() const {
    return {received_.load(), droppedByKernel_.load(), droppedByInterface_.load(),
            queued_.load(),   delivered_.load(),       discardedAtStop_.load()};
}

void CaptureComponent::endRun(std::uint64_t runId, CaptureResult result) {
    {
        std::lock_guard lock(endMutex_);
        endResult_ = std::move(result);
    }
    sourceEnded_ = true;
    if (queue_.EndRun(runId) && runNotifier_) {
        runNotifier_();
    }
}

bool CaptureComponent::enqueue(std::uint64_t runId, int linkType, const pcap_pkthdr& header,
                               const unsigned char* bytes) {
    const std::size_t length = std::min<std::size_t>(header.caplen, static_cast<std::size_t>(kSnapLength));
    CapturedFrame frame;
    frame.bytes = queue_.TakeBuffer();
    frame.bytes.assign(bytes, bytes + length);
    frame.markers = FindFrameMarkers(scannedPart(frame.bytes));
    frame.linkType = linkType;
    frame.timestamp = timestampOf(header.ts.tv_sec, header.ts.tv_usec);
    frame.wireLength = header.len;
    // While a lagging consumer keeps the queue full the kernel drops frames; keep its count fresh.
    // (The helper's counters arrive on their own.)
    const auto whileFull = [this] {
        if (source_ == Source::Adapter) {
            refreshLiveStats();
        }
    };
    switch (queue_.Push(runId, std::move(frame), whileFull)) {
    case FrameQueue::PushOutcome::Cancelled:
        return false;
    case FrameQueue::PushOutcome::QueuedWakeConsumer:
        ++queued_;
        if (runNotifier_) {
            runNotifier_();
        }
        return true;
    case FrameQueue::PushOutcome::Queued:
        ++queued_;
        return true;
    }
    return false;
}

void CaptureComponent::onLiveFrame(unsigned char* user, const pcap_pkthdr* header, const unsigned char* bytes) {
    auto* run = reinterpret_cast<LiveRun*>(user);
    if (!run->component->enqueue(run->runId, run->linkType, *header, bytes)) {
        pcap_breakloop(run->handle);
    }
}

void CaptureComponent::refreshLiveStats() {
    pcap_stat stats{};
    if (pcap_stats(adapter_.get(), &stats) == 0) {
        received_ = stats.ps_recv;
        droppedByKernel_ = stats.ps_drop;
        droppedByInterface_ = stats.ps_ifdrop;
    }
}

void CaptureComponent::readAdapter(std::uint64_t runId) {
    pcap_t* handle = adapter_.get();
    LiveRun run{this, handle, runId, liveLinkType_};
    pollfd waits[2] = {{pcap_get_selectable_fd(handle), POLLIN, 0}, {wakeFd_.get(), POLLIN, 0}};
    const std::string failed = "Capture on adapter " + quoted(sourceName_) + " failed: ";
    CaptureResult result;
    auto lastStats = std::chrono::steady_clock::now();
    while (!stopRequested_) {
        const int ready = ::poll(waits, 2, kStatsIntervalMs);
        if (ready < 0 && errno != EINTR) {
            result = CaptureResult::Failure(failed + std::strerror(errno));
            break;
        }
        if (waits[1].revents != 0) {
            break;
        }
        const int count = pcap_dispatch(handle, -1, &CaptureComponent::onLiveFrame, reinterpret_cast<u_char*>(&run));
        if (count == PCAP_ERROR_BREAK) {
            break;
        }
        if (count == PCAP_ERROR) {
            result = CaptureResult::Failure(failed + pcap_geterr(handle));
            break;
        }
        // In non-blocking mode libpcap does not look at the socket's error state; an adapter that
        // goes away would otherwise leave poll returning at once forever.
        if (count == 0 && (waits[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            int error = 0;
            socklen_t size = sizeof error;
            getsockopt(waits[0].fd, SOL_SOCKET, SO_ERROR, &error, &size);
            if (error == ENETDOWN) {
                result = CaptureResult::Failure(failed + "the adapter went down");
                break;
            }
            if ((waits[0].revents & (POLLHUP | POLLNVAL)) != 0 || error != 0) {
                result = CaptureResult::Failure(failed + (error != 0 ? std::strerror(error) : "the adapter went away"));
                break;
            }
        }
        if (const auto now = std::chrono::steady_clock::now();
            now - lastStats >= std::chrono::milliseconds(kStatsIntervalMs)) {
            refreshLiveStats();
            lastStats = now;
        }
    }
    refreshLiveStats();
    if (!stopRequested_) {
        endRun(runId, std::move(result));
    }
}

void CaptureComponent::readHelper(std::uint64_t runId) {
    // The stream is read as a capture file; each read waits for the helper's next frame. A stop ends
    // the helper, and with it the stream.
    CaptureFileReader reader(helper_.Stream());
    FileFrame frame;
    CaptureResult result;
    for (;;) {
        const CaptureFileReader::Status status = reader.Next(frame);
        if (status != CaptureFileReader::Status::Frame) {
            if (stopRequested_) {
                return;
            }
            // The helper ends its stream when the capture failed (its reason then came on the status pipe).
            std::string reason = helper_.FinalError();
            if (status == CaptureFileReader::Status::Error) {
                reason += " (" + reader.ErrorMessage() + ")";
            }
            result = CaptureResult::Failure("Capture on adapter " + quoted(sourceName_) + " failed: " + reason);
            break;
        }
        pcap_pkthdr header{};
        header.ts.tv_sec = static_cast<time_t>(frame.seconds);
        header.ts.tv_usec = static_cast<suseconds_t>(frame.microseconds);
        header.caplen = static_cast<bpf_u_int32>(frame.bytes.size());
        header.len = frame.wireLength;
        if (!enqueue(runId, liveLinkType_, header, frame.bytes.data())) {
            return; // cancelled by StopCapture
        }
    }
    endRun(runId, std::move(result));
}

} // namespace velmora
