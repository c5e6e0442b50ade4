# `cmake --install` (and the Debian package, which CPack makes from the same rules): the programs
# with config/ and res/ in one folder of their own (they find their files beside the executable),
# an `installed` marker there (an installed program keeps its settings in the XDG folders), the
# commands in bin/ as links into that folder, and the desktop entry, icons, AppStream metainfo,
# man pages, bash completion and copyright where the system looks for them.
# `cmake --install build --strip` strips the programs; the `uninstall` target removes what an
# install wrote.
include(GNUInstallDirs)
set(QV_INSTALL_APPDIR "lib/qvwebserver" CACHE STRING "Folder below the prefix for the programs and their files")
set(QV_APPSTREAM_ID "local.qvwebserver.qvwebserver")

set(qv_installed_programs qvwebserver-cli)
if(TARGET qvwebserver)
    list(APPEND qv_installed_programs qvwebserver)
endif()
install(TARGETS ${qv_installed_programs} RUNTIME DESTINATION ${QV_INSTALL_APPDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/config ${PROJECT_SOURCE_DIR}/res DESTINATION ${QV_INSTALL_APPDIR}
    PATTERN "*.desktop" EXCLUDE PATTERN "*.metainfo.xml" EXCLUDE)

set(qv_stage ${CMAKE_BINARY_DIR}/install-stage)
file(WRITE ${qv_stage}/installed "Installed: the programs keep their settings in the user's XDG folders.\n")
install(FILES ${qv_stage}/installed DESTINATION ${QV_INSTALL_APPDIR})

# Relative links made here and installed as links, so the install manifest (and with it the
# uninstall target) knows them.
file(MAKE_DIRECTORY ${qv_stage}/bin)
foreach(program IN LISTS qv_installed_programs)
    file(CREATE_LINK ../${QV_INSTALL_APPDIR}/${program} ${qv_stage}/bin/${program} SYMBOLIC)
    install(FILES ${qv_stage}/bin/${program} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

# Man pages go compressed, as Debian policy asks (gzip -n: the same bytes at every build).
find_program(QV_GZIP gzip REQUIRED)
set(qv_man_pages "")
foreach(page qvwebserver-cli qvwebserver)
    set(source ${PROJECT_SOURCE_DIR}/packaging/${page}.1)
    if(page STREQUAL "qvwebserver" AND NOT TARGET qvwebserver)
        continue()
    endif()
    add_custom_command(OUTPUT ${qv_stage}/${page}.1.gz
        COMMAND ${QV_GZIP} -9 -n -c ${source} > ${qv_stage}/${page}.1.gz
        DEPENDS ${source} VERBATIM)
    list(APPEND qv_man_pages ${qv_stage}/${page}.1.gz)
endforeach()
add_custom_target(qv_man_pages ALL DEPENDS ${qv_man_pages})
install(FILES ${qv_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/qvwebserver-cli.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME qvwebserver-cli)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/qvwebserver RENAME copyright)

if(TARGET qvwebserver)
    install(FILES ${PROJECT_SOURCE_DIR}/res/qvwebserver.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${PROJECT_SOURCE_DIR}/res/${QV_APPSTREAM_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/res/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
endif()

add_custom_target(uninstall
    COMMAND ${CMAKE_COMMAND} -DMANIFEST=${CMAKE_BINARY_DIR}/install_manifest.txt -P ${CMAKE_CURRENT_LIST_DIR}/Uninstall.cmake
    VERBATIM)
