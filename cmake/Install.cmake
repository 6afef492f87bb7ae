# The installed tree follows the file system hierarchy under any prefix: the programs in bin/, their shipped
# files in share/velmora/ (found relative to the executable), and what the desktop needs to list and open
# Velmora. `cpack -G DEB` packs the same tree.
include(GNUInstallDirs)

install(TARGETS velmora-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The capture helper is no command of its own: the programs find it in ../libexec/velmora.
install(TARGETS velmora-capture RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/velmora)
install(TARGETS velmora-tls RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/velmora)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/default-setting.ini DESTINATION ${CMAKE_INSTALL_DATADIR}/velmora)

# Licence, changelog and Debian's overrides, under the package's name.
set(VELMORA_DEBIAN ${CMAKE_CURRENT_SOURCE_DIR}/resources/linux/debian)
set(VELMORA_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${VELMORA_CHANGELOG} DEPENDS ${VELMORA_DEBIAN}/changelog
    COMMAND gzip -9 -n -c ${VELMORA_DEBIAN}/changelog > ${VELMORA_CHANGELOG}
    VERBATIM)
add_custom_target(velmora_changelog ALL DEPENDS ${VELMORA_CHANGELOG})
install(FILES ${VELMORA_DEBIAN}/copyright ${VELMORA_CHANGELOG} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velmora)
install(FILES ${VELMORA_DEBIAN}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
    RENAME velmora)

# Manual pages are shipped compressed, as Debian wants them.
set(VELMORA_MAN_PAGES velmora-cli)
if(TARGET velmora)
    list(APPEND VELMORA_MAN_PAGES velmora)
endif()
set(VELMORA_MAN_OUTPUTS)
foreach(page ${VELMORA_MAN_PAGES})
    set(source ${CMAKE_CURRENT_SOURCE_DIR}/resources/linux/${page}.1)
    set(output ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1.gz)
    add_custom_command(OUTPUT ${output} DEPENDS ${source}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
        COMMAND gzip -9 -n -c ${source} > ${output}
        VERBATIM)
    list(APPEND VELMORA_MAN_OUTPUTS ${output})
endforeach()
add_custom_target(velmora_man_pages ALL DEPENDS ${VELMORA_MAN_OUTPUTS})
install(FILES ${VELMORA_MAN_OUTPUTS} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

if(TARGET velmora)
    set(VELMORA_APP_ID example.velmora.Velmora)
    # The desktop entry's name, which Wayland compositors match against the window's app id.
    target_compile_definitions(velmora PRIVATE VELMORA_APP_ID="${VELMORA_APP_ID}")
    install(TARGETS velmora RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES resources/readme.htm DESTINATION ${CMAKE_INSTALL_DATADIR}/velmora)
    install(FILES resources/linux/${VELMORA_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES resources/linux/${VELMORA_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
    install(FILES resources/linux/velmora-mime.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages
        RENAME velmora.xml)
    foreach(size 16 32 64 256)
        install(FILES resources/icons/velmora-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME velmora.png)
    endforeach()
endif()

# Stripped as Debian strips: the compilers' .comment notes go as well.
install(CODE [[
    if(CMAKE_INSTALL_DO_STRIP)
        foreach(program bin/velmora bin/velmora-cli libexec/velmora/velmora-capture libexec/velmora/velmora-tls)
            set(path "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${program}")
            if(EXISTS "${path}")
                execute_process(COMMAND objcopy --remove-section=.comment --remove-section=.note "${path}"
                    COMMAND_ERROR_IS_FATAL ANY)
            endif()
        endforeach()
    endif()
]])

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Velmora developers <support@velmora.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "lists the media addresses in the network traffic")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://velmora.example/")
# The first line of the package's description is the summary above.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Velmora watches the network traffic of the machine it runs on and lists the
addresses of the media files and streams that browsers and players fetch:
http files whose extension is monitored, rtsp, mms and mmst streams, and HTTP
requests joined to their host. Addresses are copied, saved, inspected,
searched or handed to a download manager. Saved captures (pcap, pcapng) are
read as well.

The package holds the desktop program (Simplified Chinese) and velmora-cli,
the same engine for scripts. Only the small helper velmora-capture holds the
right to capture; an installation question decides whether the members of
the group velmora may run it. A second helper, velmora-tls, reads the HTTPS
requests of the user's own programs (OpenSSL, GnuTLS, NSS) through eBPF
without a key log; a second question decides whether the members of that
group may run it.")
# Libraries come from the binaries (WebEngine's helper process, libqt6webenginecore6-bin, with them: its
# library's shlibs name it); the window also needs a font with the Chinese characters of its texts.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The post-install script makes the group (adduser), reads the answers (debconf) and sets the capabilities.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, debconf (>= 0.5) | debconf-2.0, libcap2-bin")
if(TARGET velmora)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", fonts-wqy-microhei | fonts-noto-cjk, qt6-translations-l10n")
    # Help and the home page open through xdg-open; Qt's own platform plugin for Wayland desktops (without
    # it the window runs through XWayland); ffmpeg saves streams; aria2 is one of the download managers it
    # hands over to.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, qt6-wayland, ffmpeg")
    set(CPACK_DEBIAN_PACKAGE_SUGGESTS aria2)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${VELMORA_DEBIAN}/config ${VELMORA_DEBIAN}/templates ${VELMORA_DEBIAN}/postinst ${VELMORA_DEBIAN}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
