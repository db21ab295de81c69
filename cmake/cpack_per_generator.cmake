# Read by CPack for each generator. The Debian package lives below /usr;
# the install rules look at OFWU_CPACK_GENERATOR for what Debian alone wants.
set(ENV{OFWU_CPACK_GENERATOR} "${CPACK_GENERATOR}")
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
