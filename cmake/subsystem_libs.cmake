# Which library a test, benchmark or fuzz target links, by its name:
# <prefix><subsystem>... links that subsystem's own library, anything else
# links everything (corvane_lib).
set(CORVANE_SUBSYSTEM_LIBS
  fs_parser corvane_fs
  kallsyms corvane_kallsyms
  device_parser corvane_device
  watch corvane_watch
  resolver corvane_resolver
  output corvane_output
  report corvane_output
  config corvane_config
  check corvane_check)

# corvane_libs_for(NAME PREFIX OUT_VAR)
function(corvane_libs_for name prefix out_var)
  set(libs corvane_lib)
  set(pairs ${CORVANE_SUBSYSTEM_LIBS})
  while(pairs)
    list(POP_FRONT pairs subsystem library)
    string(FIND "${name}" "${prefix}${subsystem}" at)
    if(at EQUAL 0)
      set(libs ${library})
      break()
    endif()
  endwhile()
  set(${out_var} ${libs} PARENT_SCOPE)
endfunction()
