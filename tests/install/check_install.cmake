# Installs the build tree into WORK_DIR/prefix, checks that only public headers are installed,
# runs the installed program without a library path, then configures, builds and runs the
# consumer, which also compiles every installed header on its own.
file(REMOVE_RECURSE ${WORK_DIR})
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${rc}):\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)

# The installed include tree holds the library's folders and no private/ folder.
set(include_dir ${WORK_DIR}/prefix/include/tesmo)
file(GLOB top_entries RELATIVE ${include_dir} ${include_dir}/*)
list(SORT top_entries)
if(NOT top_entries STREQUAL "common;generator;streamer")
  message(FATAL_ERROR "Installed include tree holds ${top_entries}, not common;generator;streamer")
endif()
file(GLOB_RECURSE installed_entries LIST_DIRECTORIES true ${include_dir}/*)
list(FILTER installed_entries INCLUDE REGEX "/private(/|$)")
if(installed_entries)
  message(FATAL_ERROR "Private headers installed:\n${installed_entries}")
endif()

if(EXISTS ${BUILD_DIR}/tools/tesmo_demo)
  run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${WORK_DIR}/prefix/bin/tesmo_demo --help)
  if(NOT out MATCHES "--config")
    message(FATAL_ERROR "The installed tesmo_demo printed no usage:\n${out}")
  endif()
endif()
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix
    -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)
