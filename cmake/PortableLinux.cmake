# Release builds that load on older Linux distributions than the build host
# (QRL_PORTABLE_LINUX, used by .ci/wheel).
#
# libstdc++ is linked in, its symbols local (the version script exports
# PyInit_quorvale_rl_core alone), so the module needs no newer libstdc++ than
# the host has; libgcc_s stays shared (its symbol versions are ancient).  What
# remains are glibc's symbols, versioned by the release that last changed
# them: src/platform/glibc_floor.cpp binds every one newer than the floor to
# its oldest version, and each reference is redirected there with ld --wrap.
#
# Cross compilers work the same way (aarch64: CMAKE_CXX_COMPILER
# aarch64-linux-gnu-g++ and CMAKE_SYSTEM_PROCESSOR aarch64 in the toolchain
# file): the wrappers pick the architecture's base version, and the linker
# finds libstdc++.a and libpthread.so.0 in the cross compiler's sysroot.
function(qrl_portable_linux target)
  set(floor_source "${PROJECT_SOURCE_DIR}/src/platform/glibc_floor.cpp")
  target_sources(${target} PRIVATE "${floor_source}")
  file(READ "${floor_source}" floor_text)
  string(REGEX MATCHALL "\nQRL_OLD_GLIBC\\([^,]+, [A-Za-z0-9_]+|__wrap_[A-Za-z0-9_]+" wrapped "${floor_text}")
  list(TRANSFORM wrapped REPLACE "^\nQRL_OLD_GLIBC\\([^,]+, |^__wrap_" "")
  list(REMOVE_DUPLICATES wrapped)
  foreach(symbol IN LISTS wrapped)
    target_link_options(${target} PRIVATE "LINKER:--wrap=${symbol}")
  endforeach()
  message(STATUS "glibc symbols bound to their oldest versions: ${wrapped}")
  target_link_options(${target} PRIVATE -static-libstdc++)
  # Before glibc 2.34, pthread_once and friends live in libpthread.
  target_link_libraries(${target} PRIVATE "-Wl,--push-state,--no-as-needed" "-l:libpthread.so.0" "-Wl,--pop-state")
endfunction()
