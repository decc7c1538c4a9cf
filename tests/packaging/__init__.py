"""Packaging tests: make install, the service files, tools/deps, the release
(tarball, FreeBSD port, Debian package, container image) and the alert rules."""
