# Fails when the layers' include rules are broken:
# - OS and curl headers only in platform/posix, Qt only in controls/ and app/;
# - a layer includes headers of itself and of the layers below it only, in the order of
#   cmake/Layers.cmake (which qv_add_layer also checks the links against).
# Run as: cmake -DROOT=<source dir> -P CheckLayering.cmake
set(os_pattern "#include[ \t]*<(sys/|unistd\\.h|fcntl\\.h|pthread\\.h|poll\\.h|netinet/|arpa/|netdb\\.h|dirent\\.h|spawn\\.h|signal\\.h|csignal|curl/|windows\\.h)")
set(qt_pattern "#include[ \t]*<Q[A-Za-z]+")
set(own_pattern "#include[ \t]*\"([a-z]+)/")

include(${CMAKE_CURRENT_LIST_DIR}/Layers.cmake)

set(problems "")
foreach(layer ${QV_LAYERS})
    file(GLOB_RECURSE sources RELATIVE ${ROOT} ${ROOT}/${layer}/*.h ${ROOT}/${layer}/*.cpp)
    foreach(source ${sources})
        file(STRINGS ${ROOT}/${source} lines REGEX "^[ \t]*#include")
        foreach(line ${lines})
            if(NOT source MATCHES "^platform/posix/" AND line MATCHES "${os_pattern}")
                string(APPEND problems "${source}: operating-system header outside platform/posix: ${line}\n")
            endif()
            if(NOT layer MATCHES "^(controls|app)$" AND line MATCHES "${qt_pattern}")
                string(APPEND problems "${source}: Qt header in the core: ${line}\n")
            endif()
            if(line MATCHES "${own_pattern}")
                set(used ${CMAKE_MATCH_1})
                list(FIND QV_LAYERS ${used} known)
                list(FIND may_use_${layer} ${used} allowed)
                if(known GREATER -1 AND allowed EQUAL -1)
                    string(APPEND problems "${source}: ${layer} may not include from ${used}: ${line}\n")
                endif()
            endif()
        endforeach()
    endforeach()
endforeach()
if(problems)
    message(FATAL_ERROR "Layering broken:\n${problems}")
endif()
message(STATUS "Layering holds")
