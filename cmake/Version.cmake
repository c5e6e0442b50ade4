# The product version, generated once from project(VERSION) into QvVersion.h; targets that report it
# link qv_version (missing parts of the version are 0).
foreach(part MAJOR MINOR PATCH TWEAK)
    set(QV_VERSION_${part} "${PROJECT_VERSION_${part}}")
    if(QV_VERSION_${part} STREQUAL "")
        set(QV_VERSION_${part} 0)
    endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/QvVersion.h.in ${CMAKE_BINARY_DIR}/generated/QvVersion.h @ONLY)
add_library(qv_version INTERFACE)
target_include_directories(qv_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
