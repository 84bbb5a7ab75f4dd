# cmake -DIN=<file> -DOUT=<file.gz> [-DGZIP=<gzip>] -P gzip-file.cmake
# Compresses IN into OUT at the highest level. With GZIP it runs "gzip -9n", whose output
# carries no file name and no timestamp; without it CMake's own writer does the work.
if(NOT IN OR NOT OUT)
  message(FATAL_ERROR "usage: cmake -DIN=<file> -DOUT=<file.gz> [-DGZIP=<gzip>] -P gzip-file.cmake")
endif()
if(GZIP)
  execute_process(COMMAND ${GZIP} -9nc ${IN} OUTPUT_FILE ${OUT}.tmp RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${GZIP} failed on ${IN}: ${status}")
  endif()
else()
  file(ARCHIVE_CREATE OUTPUT ${OUT}.tmp PATHS ${IN} FORMAT raw COMPRESSION GZip COMPRESSION_LEVEL 9)
endif()
file(RENAME ${OUT}.tmp ${OUT})
