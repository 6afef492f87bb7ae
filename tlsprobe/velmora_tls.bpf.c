// The kernel side of velmora-tls: uprobes on the TLS libraries' read and write functions copy the plaintext
// of the caller's own processes into a ring buffer. The entry probe remembers the call per thread, the
// return probe reports only what a successful call moved, so a write retried after EAGAIN or WANT_WRITE
// is reported once, by the call that finished it. Programs of other users, and the caller's programs that
// changed identity (setuid), are left before a byte is read.
//
// Built without vmlinux.h: the uprobes need only pt_regs; the credential check is relocated against the
// running kernel's BTF, which loading therefore needs.

#include <linux/bpf.h>
#include <linux/ptrace.h>

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "ProbeEvent.h"

char LICENSE[] SEC("license") = "GPL";

// Set by the loader before the programs load: the real uid of whoever started the helper.
const volatile __u32 caller_uid = 0;

// How a function's return value says what it moved.
enum return_kind {
    RETURN_INT = 0,     // int or PRInt32: bytes moved, <= 0 on failure
    RETURN_SSIZE = 1,   // ssize_t: bytes moved, < 0 on failure
    RETURN_OUT_LEN = 2, // 1 on success, the count in *out_len (SSL_write_ex, SSL_read_ex)
};

// A TLS call in progress on one thread. Nested hooked calls below it (a library calling another hooked
// function, NSPR layers calling each other) only count depth, so the outermost call alone reports.
struct call {
    __u64 buf;
    __u64 handle;
    __u64 out_len;
    __u64 stack; // the stack pointer at the outermost entry; a nested call's is below it
    __u64 time_ns;
    __u64 len;
    __s32 fd;
    __u16 family;
    __u16 local_port;
    __u16 remote_port;
    __u8 local[16];
    __u8 remote[16];
    __u8 library;
    __u8 direction;
    __u8 return_kind;
    __u8 depth;
};

struct sequence_key {
    __u64 handle;
    __u32 pid;
    __u32 direction;
};

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 8 << 20);
} events SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 16384);
    __type(key, __u64); // pid_tgid
    __type(value, struct call);
} calls SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 65536);
    __type(key, struct sequence_key);
    __type(value, __u64);
} sequences SEC(".maps");

// Records that did not reach the ring (full) or whose bytes could not be read.
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u64);
} lost SEC(".maps");

// An event is larger than the BPF stack; it is built here.
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct probe_event);
} scratch SEC(".maps");

// The kernel's credentials, as far as the check reads them; offsets come from the kernel's BTF.
struct kuid_velmora {
    __u32 val;
};
struct cred___velmora {
    struct kuid_velmora uid;
    struct kuid_velmora euid;
    struct kuid_velmora fsuid;
} __attribute__((preserve_access_index));
// The path from a descriptor to its socket's addresses, as far as it is read.
struct in6_addr_velmora {
    __u8 bytes[16];
};
struct sock_common___velmora {
    __u32 skc_daddr;
    __u32 skc_rcv_saddr;
    __u16 skc_dport;
    __u16 skc_num;
    unsigned short skc_family;
    struct in6_addr_velmora skc_v6_daddr;
    struct in6_addr_velmora skc_v6_rcv_saddr;
} __attribute__((preserve_access_index));
struct sock___velmora {
    struct sock_common___velmora __sk_common;
} __attribute__((preserve_access_index));
struct socket___velmora {
    short type;
    struct sock___velmora* sk;
} __attribute__((preserve_access_index));
struct inode___velmora {
    unsigned short i_mode;
} __attribute__((preserve_access_index));
struct file___velmora {
    struct inode___velmora* f_inode;
    void* private_data;
} __attribute__((preserve_access_index));
struct fdtable___velmora {
    unsigned int max_fds;
    struct file___velmora** fd;
} __attribute__((preserve_access_index));
struct files_struct___velmora {
    struct fdtable___velmora* fdt;
} __attribute__((preserve_access_index));
struct task_struct___velmora {
    const struct cred___velmora* cred;
    struct files_struct___velmora* files;
} __attribute__((preserve_access_index));

#define S_IFMT_VELMORA 0170000
#define S_IFSOCK_VELMORA 0140000
#define AF_INET_VELMORA 2
#define AF_INET6_VELMORA 10
#define SOCK_STREAM_VELMORA 1

// NSPR's public descriptor layout (prio.h): methods first, and the methods' first field the type.
#define PR_DESC_LAYERED 4
#define PR_MSG_PEEK 0x2

static __always_inline int caller_runs_current(void) {
    if ((__u32)bpf_get_current_uid_gid() != caller_uid) {
        return 0;
    }
    // The real uid survives a setuid exec; what the program may do is its effective uid.
    struct task_struct___velmora* task = (void*)bpf_get_current_task();
    const struct cred___velmora* cred = BPF_CORE_READ(task, cred);
    return BPF_CORE_READ(cred, euid.val) == caller_uid && BPF_CORE_READ(cred, fsuid.val) == caller_uid;
}

static __always_inline void count_lost(void) {
    __u32 zero = 0;
    __u64* count = bpf_map_lookup_elem(&lost, &zero);
    if (count) {
        *count += 1;
    }
}

// True when this entry is nested in a call the thread already has in progress; counts the depth.
static __always_inline int enter_nested(struct pt_regs* ctx, __u64 id) {
    struct call* outer = bpf_map_lookup_elem(&calls, &id);
    if (outer && outer->depth > 0 && PT_REGS_SP(ctx) < outer->stack) {
        if (outer->depth < 255) {
            outer->depth += 1;
        }
        return 1;
    }
    return 0;
}

static __always_inline int record_call(struct pt_regs* ctx, __u64 id, __u8 library, __u8 direction, __u8 return_kind,
                                       __u64 handle, __u64 buf, __u64 len, __u64 out_len) {
    if (buf == 0 || len == 0) {
        return 0;
    }
    struct call call;
    __builtin_memset(&call, 0, sizeof call);
    call.buf = buf;
    call.handle = handle;
    call.out_len = out_len;
    call.stack = PT_REGS_SP(ctx);
    call.time_ns = bpf_ktime_get_ns();
    call.len = len;
    call.fd = -1;
    call.library = library;
    call.direction = direction;
    call.return_kind = return_kind;
    call.depth = 1;
    bpf_map_update_elem(&calls, &id, &call, BPF_ANY);
    return 0;
}

static __always_inline int enter_call(struct pt_regs* ctx, __u8 library, __u8 direction, __u8 return_kind, __u64 handle,
                                      __u64 buf, __u64 len, __u64 out_len) {
    if (!caller_runs_current()) {
        return 0;
    }
    __u64 id = bpf_get_current_pid_tgid();
    if (enter_nested(ctx, id)) {
        return 0;
    }
    return record_call(ctx, id, library, direction, return_kind, handle, buf, len, out_len);
}

static __always_inline __u64 next_sequence(__u32 pid, __u64 handle, __u8 direction) {
    struct sequence_key key = {.handle = handle, .pid = pid, .direction = direction};
    __u64* next = bpf_map_lookup_elem(&sequences, &key);
    if (next) {
        return __sync_fetch_and_add(next, 1);
    }
    __u64 first = 1;
    bpf_map_update_elem(&sequences, &key, &first, BPF_ANY);
    return 0;
}

// The loader reads the ring at least every 250 ms; it is woken early only when 256 KiB wait in it. A
// wake-up per record would cost the hooked program more than the copy.
static __always_inline __u64 wakeup_flag(void) {
    return bpf_ringbuf_query(&events, BPF_RB_AVAIL_DATA) >= (256 << 10) ? BPF_RB_FORCE_WAKEUP : BPF_RB_NO_WAKEUP;
}

static __always_inline void report(const struct call* call, __u64 moved, __u64 id) {
    __u32 zero = 0;
    struct probe_event* event = bpf_map_lookup_elem(&scratch, &zero);
    if (!event) {
        return;
    }
    __u32 reported = moved > PROBE_MAX_CALL_BYTES ? PROBE_MAX_CALL_BYTES : (__u32)moved;
    event->time_ns = call->time_ns;
    event->handle = call->handle;
    event->pid = id >> 32;
    event->tid = (__u32)id;
    event->sequence = next_sequence(event->pid, call->handle, call->direction);
    event->call_bytes = moved > 0xffffffffULL ? 0xffffffffU : (__u32)moved;
    event->fd = call->fd;
    event->family = call->family;
    event->local_port = call->local_port;
    event->remote_port = call->remote_port;
    __builtin_memcpy(event->local, call->local, sizeof event->local);
    __builtin_memcpy(event->remote, call->remote, sizeof event->remote);
    event->library = call->library;
    event->direction = call->direction;
    event->reserved = 0;
    bpf_get_current_comm(event->comm, sizeof event->comm);
    for (__u32 i = 0; i < PROBE_MAX_CALL_BYTES / PROBE_CHUNK_BYTES; i++) {
        __u32 offset = i * PROBE_CHUNK_BYTES;
        if (offset >= reported) {
            break;
        }
        __u32 size = reported - offset;
        if (size > PROBE_CHUNK_BYTES) {
            size = PROBE_CHUNK_BYTES;
        }
        // The compiler drops a plain mask it can prove idle; the verifier still needs to see one.
        __u64 bounded = size;
        asm volatile("%[bounded] &= 8191" : [bounded] "+r"(bounded));
        event->offset = offset;
        event->chunk_bytes = bounded;
        event->flags =
            (moved > PROBE_MAX_CALL_BYTES ? PROBE_CUT : 0) | (offset + size >= reported ? PROBE_LAST_CHUNK : 0);
        if (bpf_probe_read_user(event->bytes, bounded, (const void*)(call->buf + offset)) != 0 ||
            bpf_ringbuf_output(&events, event, PROBE_EVENT_HEADER_BYTES + bounded, wakeup_flag()) != 0) {
            count_lost();
        }
    }
}

static __always_inline int leave_call(struct pt_regs* ctx) {
    __u64 id = bpf_get_current_pid_tgid();
    struct call* found = bpf_map_lookup_elem(&calls, &id);
    if (!found) {
        return 0;
    }
    if (found->depth > 1) {
        found->depth -= 1;
        return 0;
    }
    struct call call = *found;
    bpf_map_delete_elem(&calls, &id);
    __u64 moved = 0;
    if (call.return_kind == RETURN_OUT_LEN) {
        if ((int)PT_REGS_RC(ctx) == 1) {
            bpf_probe_read_user(&moved, sizeof moved, (const void*)call.out_len);
        }
    } else if (call.return_kind == RETURN_SSIZE) {
        long result = (long)PT_REGS_RC(ctx);
        moved = result > 0 ? (__u64)result : 0;
    } else {
        int result = (int)PT_REGS_RC(ctx);
        moved = result > 0 ? (__u64)result : 0;
    }
    // Never more than the buffer the call was given, whatever a corrupt out-length says.
    if (moved > call.len) {
        moved = call.len;
    }
    if (moved > 0) {
        report(&call, moved, id);
    }
    return 0;
}

SEC("uretprobe")
int BPF_KRETPROBE(tls_return) {
    return leave_call(ctx);
}

// OpenSSL 3: int SSL_write(SSL*, const void*, int), int SSL_write_ex(SSL*, const void*, size_t, size_t*),
// and the same for reading.
SEC("uprobe")
int BPF_KPROBE(ssl_write, void* ssl, const void* buf, int num) {
    return enter_call(ctx, PROBE_OPENSSL, PROBE_SENT, RETURN_INT, (__u64)ssl, (__u64)buf, num > 0 ? num : 0, 0);
}

SEC("uprobe")
int BPF_KPROBE(ssl_write_ex, void* ssl, const void* buf, __u64 num, __u64* written) {
    return enter_call(ctx, PROBE_OPENSSL, PROBE_SENT, RETURN_OUT_LEN, (__u64)ssl, (__u64)buf, num, (__u64)written);
}

SEC("uprobe")
int BPF_KPROBE(ssl_read, void* ssl, void* buf, int num) {
    return enter_call(ctx, PROBE_OPENSSL, PROBE_RECEIVED, RETURN_INT, (__u64)ssl, (__u64)buf, num > 0 ? num : 0, 0);
}

SEC("uprobe")
int BPF_KPROBE(ssl_read_ex, void* ssl, void* buf, __u64 num, __u64* readbytes) {
    return enter_call(ctx, PROBE_OPENSSL, PROBE_RECEIVED, RETURN_OUT_LEN, (__u64)ssl, (__u64)buf, num,
                      (__u64)readbytes);
}

// GnuTLS: ssize_t gnutls_record_send(gnutls_session_t, const void*, size_t), and _recv. A send retried
// after GNUTLS_E_AGAIN with no data (as GnuTLS allows) has nothing to read and is not reported.
SEC("uprobe")
int BPF_KPROBE(gnutls_send, void* session, const void* data, __u64 size) {
    return enter_call(ctx, PROBE_GNUTLS, PROBE_SENT, RETURN_SSIZE, (__u64)session, (__u64)data, size, 0);
}

SEC("uprobe")
int BPF_KPROBE(gnutls_recv, void* session, void* data, __u64 size) {
    return enter_call(ctx, PROBE_GNUTLS, PROBE_RECEIVED, RETURN_SSIZE, (__u64)session, (__u64)data, size, 0);
}

// NSPR reads and writes files, pipes and sockets alike. Only a layered descriptor (NSS's SSL layer or one
// stacked on it) carries TLS plaintext; a plain socket or file is left alone.
static __always_inline int nspr_layered(const void* fd) {
    __u64 methods = 0;
    int type = 0;
    if (bpf_probe_read_user(&methods, sizeof methods, fd) != 0 ||
        bpf_probe_read_user(&type, sizeof type, (const void*)methods) != 0) {
        return 0;
    }
    return type == PR_DESC_LAYERED;
}

static __always_inline int enter_nspr(struct pt_regs* ctx, __u8 direction, const void* fd, __u64 buf, int amount,
                                      int flags) {
    if (!caller_runs_current()) {
        return 0;
    }
    __u64 id = bpf_get_current_pid_tgid();
    if (enter_nested(ctx, id)) {
        return 0;
    }
    // Firefox peeks at a byte before it reads; the read that follows reports it.
    if ((flags & PR_MSG_PEEK) != 0 || !nspr_layered(fd)) {
        return 0;
    }
    return record_call(ctx, id, PROBE_NSPR, direction, RETURN_INT, (__u64)fd, buf, amount > 0 ? amount : 0, 0);
}

// PRInt32 PR_Write(PRFileDesc*, const void*, PRInt32); PR_Send(fd, buf, amount, flags, timeout);
// PR_Read(fd, buf, amount); PR_Recv(fd, buf, amount, flags, timeout).
SEC("uprobe")
int BPF_KPROBE(pr_write, const void* fd, const void* buf, int amount) {
    return enter_nspr(ctx, PROBE_SENT, fd, (__u64)buf, amount, 0);
}

SEC("uprobe")
int BPF_KPROBE(pr_send, const void* fd, const void* buf, int amount, int flags) {
    return enter_nspr(ctx, PROBE_SENT, fd, (__u64)buf, amount, flags);
}

SEC("uprobe")
int BPF_KPROBE(pr_read, const void* fd, void* buf, int amount) {
    return enter_nspr(ctx, PROBE_RECEIVED, fd, (__u64)buf, amount, 0);
}

SEC("uprobe")
int BPF_KPROBE(pr_recv, const void* fd, void* buf, int amount, int flags) {
    return enter_nspr(ctx, PROBE_RECEIVED, fd, (__u64)buf, amount, flags);
}

// The socket under a TLS call: the first descriptor the calling thread writes or reads through while the
// call is in progress, and its TCP addresses, read here while the socket surely exists (a short-lived
// program may be gone before the loader reads the record). sys_enter as a raw tracepoint: it needs neither
// tracefs nor fentry, which some kernels refuse.
static __always_inline void read_socket(struct call* call, int fd) {
    struct task_struct___velmora* task = (void*)bpf_get_current_task();
    struct fdtable___velmora* table = BPF_CORE_READ(task, files, fdt);
    if (!table || fd < 0 || (unsigned int)fd >= BPF_CORE_READ(table, max_fds)) {
        return;
    }
    struct file___velmora** files = BPF_CORE_READ(table, fd);
    struct file___velmora* file = 0;
    bpf_probe_read_kernel(&file, sizeof file, &files[fd]);
    if (!file || (BPF_CORE_READ(file, f_inode, i_mode) & S_IFMT_VELMORA) != S_IFSOCK_VELMORA) {
        return;
    }
    struct socket___velmora* socket = BPF_CORE_READ(file, private_data);
    if (!socket || BPF_CORE_READ(socket, type) != SOCK_STREAM_VELMORA) {
        return;
    }
    struct sock___velmora* sock = BPF_CORE_READ(socket, sk);
    if (!sock) {
        return;
    }
    const unsigned short family = BPF_CORE_READ(sock, __sk_common.skc_family);
    if (family == AF_INET_VELMORA) {
        __u32 local = BPF_CORE_READ(sock, __sk_common.skc_rcv_saddr);
        __u32 remote = BPF_CORE_READ(sock, __sk_common.skc_daddr);
        __builtin_memcpy(call->local, &local, 4);
        __builtin_memcpy(call->remote, &remote, 4);
    } else if (family == AF_INET6_VELMORA) {
        BPF_CORE_READ_INTO(&call->local, sock, __sk_common.skc_v6_rcv_saddr);
        BPF_CORE_READ_INTO(&call->remote, sock, __sk_common.skc_v6_daddr);
    } else {
        return;
    }
    call->local_port = BPF_CORE_READ(sock, __sk_common.skc_num);
    call->remote_port = __builtin_bswap16(BPF_CORE_READ(sock, __sk_common.skc_dport));
    call->family = family;
}

// x86-64's numbers.
#define SYSCALL_READ 0
#define SYSCALL_WRITE 1
#define SYSCALL_READV 19
#define SYSCALL_WRITEV 20
#define SYSCALL_SENDTO 44
#define SYSCALL_RECVFROM 45
#define SYSCALL_SENDMSG 46
#define SYSCALL_RECVMSG 47

// Set by the loader: also the reading calls (with --receive).
const volatile __u8 note_reads = 0;

SEC("raw_tracepoint/sys_enter")
int note_descriptor(struct bpf_raw_tracepoint_args* ctx) {
    const long id = (long)ctx->args[1];
    const int writes = id == SYSCALL_WRITE || id == SYSCALL_WRITEV || id == SYSCALL_SENDTO || id == SYSCALL_SENDMSG;
    const int reads = id == SYSCALL_READ || id == SYSCALL_READV || id == SYSCALL_RECVFROM || id == SYSCALL_RECVMSG;
    if (!writes && !(reads && note_reads)) {
        return 0;
    }
    __u64 thread = bpf_get_current_pid_tgid();
    struct call* call = bpf_map_lookup_elem(&calls, &thread);
    if (!call || call->fd >= 0) {
        return 0;
    }
    const struct pt_regs* regs = (const struct pt_regs*)ctx->args[0];
    unsigned long fd = 0;
    if (bpf_probe_read_kernel(&fd, sizeof fd, &PT_REGS_PARM1(regs)) == 0) {
        call->fd = (__s32)fd;
        read_socket(call, call->fd);
    }
    return 0;
}
