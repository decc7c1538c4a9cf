# Makes a FreeBSD port's files/*.in from the project's own rc.d templates,
# so that a fix reaches both: the paths are the port's, %%PREFIX%% for the
# ports framework to fill in (USE_RC_SUBR).
#
#   cmake -DOUT=<port>/files -P cmake/port-files.cmake
if(NOT OUT)
  message(FATAL_ERROR "OUT must name the port's files directory")
endif()
set(MIREBOX_CONFIG_PATH "%%PREFIX%%/etc/mirebox.config")
set(MIREBOX_SBINDIR "%%PREFIX%%/sbin")
set(MIREBOX_BINDIR "%%PREFIX%%/bin")
include(${CMAKE_CURRENT_LIST_DIR}/textfile-dirs.cmake)
set(MIREBOX_STATS_TEXTFILE_DIR "${MIREBOX_FREEBSD_TEXTFILE_DIR}")
foreach(script mirebox mirebox_stats)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/../packaging/freebsd/${script}.in ${OUT}/${script}.in
                 @ONLY)
endforeach()
