# Makes the Windows zip: cmake -DZIP= -DSTAGE= -DSOURCE= -DPROGRAMS= [-DSTRIP=] -P windows_zip.cmake
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE})
file(COPY ${PROGRAMS} DESTINATION ${STAGE})
# Debugging information is of no use to the operator: the zip carries the
# programs stripped.
if(STRIP)
  file(GLOB programs ${STAGE}/*.exe)
  execute_process(COMMAND ${STRIP} ${programs} COMMAND_ERROR_IS_FATAL ANY)
endif()
# Text files with CR LF line ends; a file that has them already keeps them.
function(as_windows_text from to)
  file(READ ${from} text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${to} "${text}")
endfunction()
as_windows_text(${SOURCE}/mirx_server.cfg ${STAGE}/mirx_server.cfg)
as_windows_text(${SOURCE}/README.md ${STAGE}/README.txt)
file(GLOB names RELATIVE ${STAGE} ${STAGE}/*)
list(SORT names)
file(REMOVE ${ZIP})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip ${names}
                WORKING_DIRECTORY ${STAGE} COMMAND_ERROR_IS_FATAL ANY)
