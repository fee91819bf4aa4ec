# Read by CPack before it builds the Debian package. The package's library
# dependencies come from dpkg-shlibdeps, which CPack finds ELF files for with
# file; when either is missing CPack only warns and leaves Depends without
# them. Stop here instead, naming what to install.
cmake_policy(SET CMP0109 NEW) # a program found must be one that can run
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_DEBIAN_PACKAGE_SHLIBDEPS)
  find_program(QP_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(QP_FILE file)
  if(NOT QP_DPKG_SHLIBDEPS OR NOT QP_FILE)
    message(FATAL_ERROR "The package's dependencies cannot be computed without dpkg-shlibdeps "
                        "(package dpkg-dev) and file. Install them: tools/install-deps.sh package")
  endif()
endif()
