# `cmake --install`: the programs with config/ and res/ in one folder of their own (they find their
# files beside the executable), commands in bin/ that point there, and the desktop entry and icon
# where desktops look for them.
include(GNUInstallDirs)
set(QV_INSTALL_APPDIR "lib/qvwebserver" CACHE STRING "Folder below the prefix for the programs and their files")

set(qv_installed_programs qvwebserver-cli)
if(TARGET qvwebserver)
    list(APPEND qv_installed_programs qvwebserver)
endif()
install(TARGETS ${qv_installed_programs} RUNTIME DESTINATION ${QV_INSTALL_APPDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/config ${PROJECT_SOURCE_DIR}/res DESTINATION ${QV_INSTALL_APPDIR})
foreach(program IN LISTS qv_installed_programs)
    install(CODE "
        set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        file(MAKE_DIRECTORY \"\${bin}\")
        file(CREATE_LINK \"../${QV_INSTALL_APPDIR}/${program}\" \"\${bin}/${program}\" SYMBOLIC)
        message(STATUS \"Installing: \${bin}/${program} -> ../${QV_INSTALL_APPDIR}/${program}\")")
endforeach()

if(TARGET qvwebserver)
    install(FILES ${PROJECT_SOURCE_DIR}/res/qvwebserver.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/res/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
endif()
