# QV_SANITIZE_ADDRESS: AddressSanitizer + UndefinedBehaviorSanitizer.
# QV_SANITIZE_THREAD: ThreadSanitizer. The two cannot be combined.
option(QV_SANITIZE_ADDRESS "Build with AddressSanitizer and UBSan" OFF)
option(QV_SANITIZE_THREAD "Build with ThreadSanitizer" OFF)
if(QV_SANITIZE_ADDRESS AND QV_SANITIZE_THREAD)
    message(FATAL_ERROR "QV_SANITIZE_ADDRESS and QV_SANITIZE_THREAD are exclusive")
endif()

add_library(qv_sanitizers INTERFACE)
if(QV_SANITIZE_ADDRESS)
    target_compile_options(qv_sanitizers INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer)
    target_link_options(qv_sanitizers INTERFACE -fsanitize=address,undefined)
elseif(QV_SANITIZE_THREAD)
    target_compile_options(qv_sanitizers INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(qv_sanitizers INTERFACE -fsanitize=thread)
endif()

# Every target of ours links this one: warnings plus the chosen sanitizer.
add_library(qv_options INTERFACE)
target_link_libraries(qv_options INTERFACE qv_warnings qv_sanitizers)
