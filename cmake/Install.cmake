# Installs the station in its FHS places (cmake --install) and packages it for Debian
# (cpack -G DEB, or tools/package.sh). Included after the targets.
include(GNUInstallDirs)

set(BRISKO_APP_ID com.brisko.EventFileWorkflow)
set(BRISKO_SYSTEMD_USER_UNIT_DIR "lib/systemd/user" CACHE STRING
    "Where the systemd user unit goes, relative to the install prefix")
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(_data ${CMAKE_SOURCE_DIR}/data)
set(_out ${CMAKE_BINARY_DIR}/data)

# Debian ships man pages compressed; -n leaves out the time stamp so packages are reproducible.
add_custom_command(OUTPUT ${_out}/brisko-workflow.1.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_out}
  COMMAND gzip -9nc ${_data}/brisko-workflow.1 > ${_out}/brisko-workflow.1.gz
  DEPENDS ${_data}/brisko-workflow.1 VERBATIM)
set(_generated ${_out}/brisko-workflow.1.gz)

find_program(BRISKO_RSVG_CONVERT rsvg-convert)
if(BRISKO_RSVG_CONVERT)
  foreach(size 48 128 256)
    set(_png ${_out}/icons/${size}/${BRISKO_APP_ID}.png)
    add_custom_command(OUTPUT ${_png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${_out}/icons/${size}
      COMMAND ${BRISKO_RSVG_CONVERT} -w ${size} -h ${size} -o ${_png} ${_data}/${BRISKO_APP_ID}.svg
      DEPENDS ${_data}/${BRISKO_APP_ID}.svg VERBATIM)
    list(APPEND _generated ${_png})
    install(FILES ${_png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
else()
  message(WARNING "rsvg-convert not found (Debian package librsvg2-bin): the PNG icons are not made")
endif()
add_custom_target(brisko_data ALL DEPENDS ${_generated})

# systemd finds a bare command name in /usr/bin and /usr/local/bin, so one unit serves both a
# package and a local install; any other prefix needs the full path.
if(CMAKE_INSTALL_FULL_BINDIR MATCHES "^/usr(/local)?/bin$")
  set(BRISKO_UNIT_EXEC brisko-workflow)
else()
  set(BRISKO_UNIT_EXEC ${CMAKE_INSTALL_FULL_BINDIR}/brisko-workflow)
endif()
configure_file(${_data}/brisko-workflow.service.in ${_out}/brisko-workflow.service @ONLY)
configure_file(${_data}/${BRISKO_APP_ID}.metainfo.xml.in ${_out}/${BRISKO_APP_ID}.metainfo.xml @ONLY)

install(TARGETS brisko-workflow RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET brisko-workflow-window)
  install(TARGETS brisko-workflow-window RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/brisko-workflow)
endif()
install(FILES ${_out}/brisko-workflow.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_data}/${BRISKO_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_data}/${BRISKO_APP_ID}.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${_out}/${BRISKO_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${_out}/brisko-workflow.service DESTINATION ${BRISKO_SYSTEMD_USER_UNIT_DIR})
# The README, the user guide and the copyright notice, where Debian users look for them; --help
# names the folder.
set(BRISKO_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/brisko-workflow)
target_compile_definitions(brisko_app PRIVATE BRISKO_DOC_DIR="${CMAKE_INSTALL_PREFIX}/${BRISKO_DOC_DIR}")
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${_data}/copyright DESTINATION ${BRISKO_DOC_DIR})
if(EXISTS ${CMAKE_SOURCE_DIR}/docs/guide)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/guide/ DESTINATION ${BRISKO_DOC_DIR}/guide)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brisko-workflow)
set(CPACK_PACKAGE_VENDOR Brisko)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unattended file-workflow station for event photography")
# Lines stay short: dpkg shows the extended description as it is wrapped here.
set(CPACK_PACKAGE_DESCRIPTION "\
Photos arrive from camera cards and hot folders; an ordered list of
scheduled actions copies, moves, deletes, renames and sorts them into
subfolders, turns them upright, tags them in the EXIF user comment, hands
them to other programs and filters them by age, orientation and GPS
position. Operators drive it with barcodes and named commands. Every copy
goes through a temporary name and is flushed before its source is removed.
The station runs with a window, or headless as a systemd user service.")
set(BRISKO_PACKAGE_MAINTAINER "Brisko Workflow developers <workflow@brisko.invalid>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${BRISKO_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends comes from dpkg-shlibdeps; the fonts are data, so they are only recommended.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Opened at run time, so dpkg-shlibdeps cannot see them.
list(JOIN BRISKO_RUNTIME_PACKAGES ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-liberation2)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)

if(BRISKO_TESTS)
  add_test(NAME man_page_lists_every_option
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/man_options_test.sh
            $<TARGET_FILE:brisko-workflow> ${_data}/brisko-workflow.1)
  # A sanitized or fuzzing build is nothing to package.
  if(NOT BRISKO_SANITIZE AND NOT BRISKO_FUZZ)
    add_test(NAME debian_package_installs_and_runs
      COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/deb_test.sh ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}
              ${CMAKE_CPACK_COMMAND})
    set_tests_properties(debian_package_installs_and_runs PROPERTIES TIMEOUT 120)
  endif()
  add_test(NAME guide_lists_every_option
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/guide_options_test.sh
            $<TARGET_FILE:brisko-workflow> ${CMAKE_SOURCE_DIR}/docs/guide/index.html)
  set_tests_properties(man_page_lists_every_option guide_lists_every_option PROPERTIES
    ENVIRONMENT "BRISKO_STORE=/nonexistent/brisko-test-guard.db")
endif()
