# The MTD stand-in as a library: whatever links it gets the listed calls
# wrapped, in that binary only; the tool itself calls the real ones.
set(FAKE_MTD_WRAPPED open ioctl pread mmap msync fsync munmap close)
list(TRANSFORM FAKE_MTD_WRAPPED PREPEND "-Wl,--wrap=")
add_library(fake_mtd STATIC ${CMAKE_CURRENT_LIST_DIR}/fake_mtd.cpp)
target_include_directories(fake_mtd PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_options(fake_mtd INTERFACE ${FAKE_MTD_WRAPPED})
