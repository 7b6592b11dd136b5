# Installs the menu entry and the site folder; run by `cmake --install` and by CPack, with
# CMAKE_INSTALL_PREFIX as given then (app/CMakeLists.txt passes the other CORVESSA_* paths).
#
# The site folder holds the site's settings (Quorvel.ini) and pictures (images/); the program
# reads both from its working folder, and the menu entry starts it there. They belong to the site
# once installed: an existing Quorvel.ini or images/ is never overwritten.

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

# file(INSTALL) puts $ENV{DESTDIR} in front of absolute destinations by itself; existence checks
# have to do the same.
set(staged_site "$ENV{DESTDIR}${CORVESSA_SITE_DIR}")

if(EXISTS "${staged_site}/Quorvel.ini")
  message(STATUS "Kept the site's settings: ${staged_site}/Quorvel.ini")
else()
  file(INSTALL "${CORVESSA_SETTINGS}" DESTINATION "${CORVESSA_SITE_DIR}")
endif()

if(EXISTS "${staged_site}/images")
  message(STATUS "Kept the site's pictures: ${staged_site}/images")
else()
  file(INSTALL "${CORVESSA_IMAGES}/" DESTINATION "${CORVESSA_SITE_DIR}/images"
    FILES_MATCHING PATTERN "*.jpg")
endif()

# Staged under a name of its own for each destination: installs to several prefixes may run at once.
string(MD5 destination "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(staged_entry "${CORVESSA_STAGING}/${destination}/corvessa.desktop")
configure_file("${CORVESSA_DESKTOP_TEMPLATE}" "${staged_entry}" @ONLY)
file(INSTALL "${staged_entry}"
  DESTINATION "${CMAKE_INSTALL_PREFIX}/${CORVESSA_DATADIR}/applications")
