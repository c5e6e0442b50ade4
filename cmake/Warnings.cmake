# Warning flags as an INTERFACE target so that no global flag is edited.
add_library(qv_warnings INTERFACE)
target_compile_options(qv_warnings INTERFACE
    -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wno-missing-field-initializers)
option(QV_WERROR "Treat warnings as errors" OFF)
if(QV_WERROR)
    target_compile_options(qv_warnings INTERFACE -Werror)
endif()
