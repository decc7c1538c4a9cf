# Where node_exporter's package reads textfile metrics by default, on each
# system: the default of the follower's service files, in the build and in
# the FreeBSD port alike.
set(MIREBOX_FREEBSD_TEXTFILE_DIR "/var/tmp/node_exporter")
set(MIREBOX_DEBIAN_TEXTFILE_DIR "/var/lib/prometheus/node-exporter")
