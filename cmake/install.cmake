# What `cmake --install` puts on a machine, and the Debian package built from
# the same rules (scripts/package). Included last, once every program exists.
include(GNUInstallDirs)

install(TARGETS quillet RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET quillet-bank)
  install(TARGETS quillet-bank RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# The note joiner keeps its build name (scripts/demo runs build/join_notes)
# and is installed under the project's prefix.
install(PROGRAMS $<TARGET_FILE:join_notes> DESTINATION ${CMAKE_INSTALL_BINDIR}
        RENAME quillet-join)

if(QUILLET_MAN)
  set(installed_pages quillet.1 quillet-join.1)
  if(TARGET quillet-bank)
    list(APPEND installed_pages quillet-bank.1)
  endif()
  foreach(page IN LISTS installed_pages)
    install(FILES ${QUILLET_MAN_DIR}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "note renderer for singing-voice synthesis")
set(CPACK_PACKAGE_CONTACT "The Quillet developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "note renderer for singing-voice synthesis\n"
    " quillet renders one sung note per call from a recorded voice sample,\n"
    " at a given pitch, length and pitch bend; quillet-join joins rendered\n"
    " notes into a phrase and quillet-bank looks after the pitch side files\n"
    " of a whole voice bank.")
# The library dependencies (libc6, libstdc++6, libgcc-s1 and those of
# quillet-bank) come from the installed programs themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
