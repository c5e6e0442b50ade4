# Warning flags as an INTERFACE target so that no global flag is edited. The list is the house set
# (-Wall -Wextra -Wshadow -Wnon-virtual-dtor) plus the checks that catch real faults in this code:
# hidden virtual overloads, non-standard extensions, unsafe format strings, silent switch
# fall-through and duplicated conditions. Not -Wformat=2 (the string formatter builds its printf
# patterns at run time on purpose) nor -Wlogical-op (EAGAIN and EWOULDBLOCK are one value here).
add_library(qv_warnings INTERFACE)
target_compile_options(qv_warnings INTERFACE
    -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wno-missing-field-initializers
    -Woverloaded-virtual -Wpedantic -Wformat -Wformat-security -Wimplicit-fallthrough -Wduplicated-cond)
# The ci preset turns this on: a warning fails the build.
option(QV_WERROR "Treat warnings as errors" OFF)
if(QV_WERROR)
    target_compile_options(qv_warnings INTERFACE -Werror)
endif()
