# Warnings as errors on our own targets only; third-party code (GoogleTest) keeps its own flags.
function(kit_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  endif()
endfunction()

# Windows console programs ship as one self-contained .exe.
function(kit_static_windows_exe target)
  if(WIN32 AND NOT MSVC)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()
