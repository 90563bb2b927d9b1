# The archives to hand to someone: cpack makes them from what `cmake --install` installs (the two
# programs, the samples, the README and, off Windows, the manual pages). On Linux a .tar.gz and a .deb,
# whose dependencies dpkg-shlibdeps reads off the programs themselves (the C and C++ runtimes only); from
# the Windows build a .zip of self-contained programs.
set(CPACK_PACKAGE_NAME "kernel-search")
set(CPACK_PACKAGE_VENDOR "kernel_search")
set(CPACK_PACKAGE_CONTACT "kernel_search maintainers <maintainers@users.noreply.c-seed-21e6ecb9.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR "ZIP")
else()
  set(CPACK_GENERATOR "TGZ;DEB")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION "graphics")
  set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
endif()
include(CPack)
