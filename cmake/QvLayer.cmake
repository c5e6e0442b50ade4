# qv_add_layer(<name> SOURCES <files...> [USES <layers...>] [PUBLIC_LIBS <targets...>] [PRIVATE_LIBS <targets...>])
#
# Declares one layer of the program as the static library qv_<name> with the ALIAS qv::<name>:
# - USES names the lower layers whose headers this layer's own headers include (linked PUBLIC);
#   the order the layers may use each other (cmake/Layers.cmake) is checked here over the links and
#   by cmake/CheckLayering.cmake over the sources' includes;
# - PUBLIC_LIBS are third-party targets whose headers appear in this layer's headers;
# - PRIVATE_LIBS are used by the sources only and do not reach the layer's users.
# Every header of the layer is also compiled on its own (QV_CHECK_HEADERS), so a header that leans on
# what its includer happened to include first fails the build.
# A layer that links a layer it may not use (cmake/Layers.cmake) fails the configuration.
option(QV_CHECK_HEADERS "Compile every header of a layer on its own" ON)
include(${CMAKE_CURRENT_LIST_DIR}/Layers.cmake)

# Fails when <name> links one of the layers named in ARGN (as qv::x, qv_x or a bare layer name)
# that the order of cmake/Layers.cmake does not allow it.
function(qv_check_layer_order name)
    foreach(item IN LISTS ARGN)
        string(REGEX REPLACE "^qv(::|_)" "" used "${item}")
        list(FIND QV_LAYERS "${used}" known)
        list(FIND may_use_${name} "${used}" allowed)
        if(known GREATER -1 AND allowed EQUAL -1)
            message(FATAL_ERROR "Layer ${name} may not use layer ${used} (see cmake/Layers.cmake)")
        endif()
    endforeach()
endfunction()

function(qv_add_layer name)
    cmake_parse_arguments(ARG "" "" "SOURCES;USES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
    qv_check_layer_order(${name} ${ARG_USES} ${ARG_PUBLIC_LIBS} ${ARG_PRIVATE_LIBS})
    set(target qv_${name})
    add_library(${target} STATIC ${ARG_SOURCES})
    add_library(qv::${name} ALIAS ${target})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
    set(used "")
    foreach(layer IN LISTS ARG_USES)
        list(APPEND used qv_${layer})
    endforeach()
    target_link_libraries(${target} PUBLIC qv_options ${used} ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
    if(QV_CHECK_HEADERS)
        qv_check_headers(${target} ${name})
    endif()
endfunction()

# One generated translation unit per header of the current folder (recursively): "#include" and
# nothing else, built as an object library that links the layer for its include paths.
function(qv_check_headers target name)
    file(GLOB_RECURSE headers RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
    set(units "")
    foreach(header IN LISTS headers)
        string(MAKE_C_IDENTIFIER ${header} stem)
        set(unit ${CMAKE_CURRENT_BINARY_DIR}/header_check/${stem}.cpp)
        set(text "#include \"${name}/${header}\"  // compiles on its own\n")
        if(EXISTS ${unit})
            file(READ ${unit} present)
        else()
            set(present "")
        endif()
        if(NOT present STREQUAL text)
            file(WRITE ${unit} ${text})
        endif()
        list(APPEND units ${unit})
    endforeach()
    if(units)
        add_library(${target}_headers OBJECT ${units})
        target_link_libraries(${target}_headers PRIVATE ${target})
        set_target_properties(${target}_headers PROPERTIES AUTOMOC OFF)
    endif()
endfunction()

# qv_add_program(<name> SOURCES <files...> [USES <layers...>] [LIBS <targets...>])
#
# An executable over the layers: main() and little else. It links the layers it names (PRIVATE:
# nothing links an executable), in the order its folder's layer may use them, and gets config/ and
# res/ copied beside it at every build.
function(qv_add_program name)
    cmake_parse_arguments(ARG "" "" "SOURCES;USES;LIBS" ${ARGN})
    get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
    qv_check_layer_order(${folder} ${ARG_USES} ${ARG_LIBS})
    add_executable(${name} ${ARG_SOURCES})
    set(used "")
    foreach(layer IN LISTS ARG_USES)
        list(APPEND used qv_${layer})
    endforeach()
    target_link_libraries(${name} PRIVATE qv_options ${used} ${ARG_LIBS})
    add_dependencies(${name} qv_runtime_files)
endfunction()
