# Fails when the layers' include rules are broken:
# - OS and curl headers only in platform/posix, Qt only in controls/ and app/;
# - a layer includes headers of itself and of the layers below it only, in this order:
#   platform <- foundation <- {commlib <- webserver <- registry, httpclient} <- app and cli;
#   controls sees foundation (and platform).
# Run as: cmake -DROOT=<source dir> -P CheckLayering.cmake
set(os_pattern "#include[ \t]*<(sys/|unistd\\.h|fcntl\\.h|pthread\\.h|poll\\.h|netinet/|arpa/|netdb\\.h|dirent\\.h|spawn\\.h|signal\\.h|csignal|curl/|windows\\.h)")
set(qt_pattern "#include[ \t]*<Q[A-Za-z]+")
set(own_pattern "#include[ \t]*\"([a-z]+)/")

# The layers each layer may include from (itself included).
set(may_use_platform platform)
set(may_use_foundation ${may_use_platform} foundation)
set(may_use_commlib ${may_use_foundation} commlib)
set(may_use_webserver ${may_use_commlib} webserver)
set(may_use_registry ${may_use_webserver} registry)
set(may_use_httpclient ${may_use_foundation} httpclient)
set(may_use_controls ${may_use_foundation} controls)
set(may_use_cli ${may_use_registry} httpclient cli)
set(may_use_app ${may_use_registry} httpclient controls app)
set(layers platform foundation commlib webserver registry httpclient controls cli app)

set(problems "")
foreach(layer ${layers})
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
                list(FIND layers ${used} known)
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
