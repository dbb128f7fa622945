# miniz: an installed miniz 3 package when there is one, else the sources
# that scripts/fetch-miniz.sh put into third_party/miniz. Either way the
# zip reader is built with file and time support.
find_package(miniz 3 CONFIG QUIET)
if(miniz_FOUND)
  add_library(vantrell_miniz INTERFACE)
  target_link_libraries(vantrell_miniz INTERFACE miniz::miniz)
  set(VANTRELL_MINIZ "installed miniz ${miniz_VERSION}")
else()
  set(MINIZ_SOURCE_DIR "${CMAKE_SOURCE_DIR}/third_party/miniz" CACHE PATH "Folder holding miniz.c and miniz.h")
  if(NOT EXISTS "${MINIZ_SOURCE_DIR}/miniz.c")
    message(FATAL_ERROR "miniz not found: run scripts/setup.sh (it fetches the sources into ${MINIZ_SOURCE_DIR})")
  endif()
  file(STRINGS "${MINIZ_SOURCE_DIR}/miniz.h" miniz_version_line REGEX "^#define MZ_VERSION ")
  string(REGEX REPLACE ".*\"(.*)\".*" "\\1" miniz_version "${miniz_version_line}")
  add_library(vantrell_miniz STATIC "${MINIZ_SOURCE_DIR}/miniz.c")
  target_include_directories(vantrell_miniz SYSTEM PUBLIC "${MINIZ_SOURCE_DIR}")
  # Large-file offsets on 32-bit-off_t systems; no warnings from code we do not own.
  target_compile_definitions(vantrell_miniz PRIVATE _LARGEFILE64_SOURCE)
  target_compile_options(vantrell_miniz PRIVATE -w)
  # On x86 miniz reads its headers and bit buffers with deliberate unaligned
  # loads; the sanitizers' alignment check would stop at every one of them.
  if(VANTRELL_SANITIZE OR VANTRELL_FUZZ)
    target_compile_options(vantrell_miniz PRIVATE -fno-sanitize=alignment)
  endif()
  set(VANTRELL_MINIZ "miniz sources ${miniz_version} from ${MINIZ_SOURCE_DIR}")
endif()
message(STATUS "Zip reader: ${VANTRELL_MINIZ}")
