// placeholder until the libpcap boundary lands
