# Read by cpack once per generator. The .deb installs under /usr, where its
# maintainer scripts look for the host; the archives hold the same tree from
# their top folder down.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX "${CPACK_ORV_DEB_PREFIX}")
endif()
