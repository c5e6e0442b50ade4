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

# The environment of every test that runs Qt: offscreen, and under ThreadSanitizer the suppressions
# for Qt's own threads (Qt is not built with the tool; see tests/tsan-qt.supp).
set(QV_QT_TEST_ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
if(QV_SANITIZE_THREAD)
    list(APPEND QV_QT_TEST_ENVIRONMENT "TSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/tsan-qt.supp")
endif()

# Every target of ours links this one: warnings plus the chosen sanitizer.
add_library(qv_options INTERFACE)
target_link_libraries(qv_options INTERFACE qv_warnings qv_sanitizers)
