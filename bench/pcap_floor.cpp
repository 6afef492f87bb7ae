// The floor for reading a capture file: a bare libpcap loop that touches every frame and does nothing.
#include <pcap/pcap.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pcap_floor FILE\n");
        return 2;
    }
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* handle = pcap_open_offline(argv[1], error);
    if (!handle) {
        std::fprintf(stderr, "%s\n", error);
        return 2;
    }
    pcap_pkthdr* header;
    const u_char* data;
    unsigned long frames = 0, bytes = 0, sum = 0;
    while (pcap_next_ex(handle, &header, &data) == 1) {
        ++frames;
        bytes += header->caplen;
        sum += data[0];
    }
    pcap_close(handle);
    std::printf("%lu frames, %lu bytes (%lu)\n", frames, bytes, sum);
    return 0;
}
