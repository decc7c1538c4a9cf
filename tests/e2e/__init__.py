"""End-to-end tests: the real programs on free loopback ports, with real
sockets, signals and output."""
