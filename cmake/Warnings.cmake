# Warning flags as an INTERFACE target so that no global flag is edited. The list is the house set
# (-Wall -Wextra -Wshadow -Wnon-virtual-dtor) plus the checks that catch real faults in this code:
# hidden virtual overloads, non-standard extensions, unsafe format strings, silent switch
# fall-through, duplicated conditions and logical/bitwise mix-ups.
add_library(qv_warnings INTERFACE)
target_compile_options(qv_warnings INTERFACE
    -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wno-missing-field-initializers
    -Woverloaded-virtual -Wpedantic -Wformat=2 -Wimplicit-fallthrough -Wduplicated-cond -Wlogical-op)
# The ci preset turns this on: a warning fails the build.
option(QV_WERROR "Treat warnings as errors" OFF)
if(QV_WERROR)
    target_compile_options(qv_warnings INTERFACE -Werror)
endif()
