# The project's warning set; errors when TOKENMODE_WERROR is on (always in CI).
function(tokenmode_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
    -Wnon-virtual-dtor -Wcast-qual -Wformat=2 -Wimplicit-fallthrough)
  if(TOKENMODE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
