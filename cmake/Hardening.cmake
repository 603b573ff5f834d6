# Hardened code on POSIX systems, as Debian builds its packages: stack protector, fortified libc
# calls where the compiler optimises, format checks, a read-only relocation table bound at start.
# Not in the fuzz build, whose instrumentation brings its own checks.
if(NOT WIN32 AND NOT VORNAK2_FUZZ)
  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security
                      $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()
