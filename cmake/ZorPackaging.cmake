# Installation and the Debian package.
#
#   cmake --install build [--prefix /usr]            everything below
#   sudo cmake --install build --component udev      only the udev rules
#   cd build && cpack -G DEB                         zor-firmware-upload_<version>_<arch>.deb
#
# Programs missing from a configuration (no Qt, ZOR_BUILD_CLI=OFF) are left out.
include(GNUInstallDirs)

set(_zor_programs)
foreach(_prog Zor_FirmwareUpload zorfw zor-devsim)
  if(TARGET ${_prog})
    list(APPEND _zor_programs ${_prog})
  endif()
endforeach()
if(_zor_programs)
  install(TARGETS ${_zor_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
endif()

# Access to the maker's USB devices for the user at the seat, for both front
# ends. udev reads rules below /usr/lib and /usr/local/lib, so the path stays
# relative to the prefix (not the multiarch libdir).
install(FILES ${PROJECT_SOURCE_DIR}/platform/linux/70-zor-usb.rules
        DESTINATION lib/udev/rules.d COMPONENT udev)

if(TARGET Zor_FirmwareUpload)
  install(FILES ${PROJECT_SOURCE_DIR}/app/desktop/Zor_FirmwareUpload.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT programs)
  install(FILES ${PROJECT_SOURCE_DIR}/app/desktop/zor-firmware-upload.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT programs)
endif()

# One package holding every component.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zor-firmware-upload)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Zor")
set(CPACK_PACKAGE_CONTACT "Zor Firmware Upload developers <firmware@zor.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Firmware upload and configuration for Zor frequency-measurement devices")
set(CPACK_PACKAGE_DESCRIPTION
    "Uploads firmware into Zor devices and the LUM2 network counter, reads and
changes the configuration they keep in non-volatile memory and lists the
devices attached, over USB (HID or virtual COM port) or the network. Holds the
window application Zor_FirmwareUpload, the command line zorfw, the device
simulator zor-devsim and the udev rules that give the user at the seat access
to the devices.")
# The debug information stays in the build; the package gets plain programs.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# udev picks the rules up after a reload; the package needs nothing else from it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
find_program(ZOR_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZOR_DPKG_SHLIBDEPS)
  # The library packages the programs link against, with their versions.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # Bookworm's names, for packaging on a system without dpkg-dev. libqt6gui6
  # carries the xcb and offscreen platform plugins.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1 (>= 3.0)")
  if(TARGET Zor_FirmwareUpload)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS
           ", libqt6widgets6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6core6 (>= 6.4)")
  endif()
endif()
include(CPack)
