# Installs the menu entry, and on a direct install the site folder; run by `cmake --install` and
# by CPack, with CMAKE_INSTALL_PREFIX as given then (app/CMakeLists.txt passes the other
# CORVESSA_* paths).
#
# The site folder holds the site's settings (Quorvel.ini) and pictures (images/); the program
# reads both from its working folder, and the menu entry starts it there. It is made from what
# is installed in <datadir>/corvessa: the site's Quorvel.ini, which sets nothing, and links to the
# shipped pictures. Once made it belongs to the site: an existing Quorvel.ini or images/ is never
# touched. An install into DESTDIR stages files for a package, whose maintainer scripts make the
# site folder on the machine it is installed on (packaging/postinst): none is made there.

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Where settings go for this prefix, as GNUInstallDirs has it: /etc for /usr, /etc/opt/... for
# /opt/..., <prefix>/etc otherwise.
if(IS_ABSOLUTE "${CORVESSA_SYSCONFDIR}")
  set(etc "${CORVESSA_SYSCONFDIR}")
elseif(CMAKE_INSTALL_PREFIX MATCHES "^/(usr/?)?$")
  set(etc "/${CORVESSA_SYSCONFDIR}")
elseif(CMAKE_INSTALL_PREFIX MATCHES "^/opt/")
  set(etc "/etc${CMAKE_INSTALL_PREFIX}")
else()
  set(etc "${CMAKE_INSTALL_PREFIX}/${CORVESSA_SYSCONFDIR}")
endif()
string(REGEX REPLACE "/+$" "" etc "${etc}")
set(CORVESSA_SITE_DIR "${etc}/corvessa")
set(CORVESSA_PROGRAM "${CMAKE_INSTALL_PREFIX}/${CORVESSA_BINDIR}/quorvel")
string(REGEX REPLACE "//+" "/" CORVESSA_PROGRAM "${CORVESSA_PROGRAM}")

set(shipped "${CMAKE_INSTALL_PREFIX}/${CORVESSA_DATADIR}/corvessa")
string(REGEX REPLACE "//+" "/" shipped "${shipped}")
if("$ENV{DESTDIR}" STREQUAL "")
  if(EXISTS "${CORVESSA_SITE_DIR}/Quorvel.ini")
    message(STATUS "Kept the site's settings: ${CORVESSA_SITE_DIR}/Quorvel.ini")
  else()
    file(INSTALL "${shipped}/site/Quorvel.ini" DESTINATION "${CORVESSA_SITE_DIR}")
  endif()
  if(EXISTS "${CORVESSA_SITE_DIR}/images" OR IS_SYMLINK "${CORVESSA_SITE_DIR}/images")
    message(STATUS "Kept the site's pictures: ${CORVESSA_SITE_DIR}/images")
  else()
    file(MAKE_DIRECTORY "${CORVESSA_SITE_DIR}/images")
    file(GLOB pictures RELATIVE "${shipped}/images" "${shipped}/images/*.jpg")
    foreach(picture IN LISTS pictures)
      file(CREATE_LINK "${shipped}/images/${picture}" "${CORVESSA_SITE_DIR}/images/${picture}"
        SYMBOLIC)
    endforeach()
    message(STATUS "Linked the shipped pictures: ${CORVESSA_SITE_DIR}/images")
  endif()
endif()

# Staged under a name of its own for each destination: installs to several prefixes may run at once.
string(MD5 destination "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(staged_entry "${CORVESSA_STAGING}/${destination}/corvessa.desktop")
configure_file("${CORVESSA_DESKTOP_TEMPLATE}" "${staged_entry}" @ONLY)
file(INSTALL "${staged_entry}"
  DESTINATION "${CMAKE_INSTALL_PREFIX}/${CORVESSA_DATADIR}/applications")
