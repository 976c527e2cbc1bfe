# Run by CPack between the install and the packing: the package has its own
# units in /lib/systemd/system, so the example units for a source install
# (/usr/local paths, copy-by-hand instructions) stay out of it.
file(GLOB_RECURSE velt_example_units "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/velt/packaging/*.service")
if(NOT velt_example_units)
  message(FATAL_ERROR "no example units found under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(unit IN LISTS velt_example_units)
  get_filename_component(folder "${unit}" DIRECTORY)
  file(REMOVE_RECURSE "${folder}")
endforeach()
