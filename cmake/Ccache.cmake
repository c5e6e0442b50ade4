# Compiles through ccache when it is installed: rebuilds of several work trees (and of the sanitizer
# builds beside the plain one) then share their objects. Paths are made relative to the source tree,
# so two checkouts of one commit hit the same cache entries.
option(QV_CCACHE "Compile through ccache when it is installed" ON)
if(QV_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
    find_program(QV_CCACHE_PROGRAM ccache)
    if(QV_CCACHE_PROGRAM)
        set(CMAKE_CXX_COMPILER_LAUNCHER ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} ${QV_CCACHE_PROGRAM})
    endif()
endif()
