# Lays out and signs Dorvane.app (cmake -P, from app/bundle/CMakeLists.txt): the variables
# BUNDLE, INFO_PLIST, HELPER_INFO_PLIST, CLI_INFO_PLIST, APP, CLI, HELPER and MACSIM name what goes in.
set(label com.halvex-software.Dorvane.helper)
set(staging ${BUNDLE}.partial)
file(REMOVE_RECURSE ${staging})
file(MAKE_DIRECTORY ${staging}/Contents/MacOS ${staging}/Contents/Library/LaunchServices)
file(COPY_FILE ${INFO_PLIST} ${staging}/Contents/Info.plist)
file(COPY_FILE ${APP} ${staging}/Contents/MacOS/Dorvane)
file(COPY_FILE ${CLI} ${staging}/Contents/MacOS/dorvane)
file(COPY_FILE ${HELPER} ${staging}/Contents/Library/LaunchServices/${label})

# sign FILE IDENTIFIER [INFO_PLIST]
function(sign file identifier)
  set(extra)
  if(ARGC GREATER 2)
    set(extra --info-plist ${ARGV2})
  endif()
  execute_process(COMMAND ${MACSIM} sign ${file} --identity maker-developer-id
                          --identifier ${identifier} ${extra}
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot sign ${file}")
  endif()
endfunction()
sign(${staging}/Contents/Library/LaunchServices/${label} ${label} ${HELPER_INFO_PLIST})
# A tool's signature seals its information property list too; the helper reads it from its
# callers' signatures.
sign(${staging}/Contents/MacOS/dorvane com.halvex-software.Dorvane.cli ${CLI_INFO_PLIST})
sign(${staging}/Contents/MacOS/Dorvane com.halvex-software.Dorvane ${INFO_PLIST})

file(REMOVE_RECURSE ${BUNDLE})
file(RENAME ${staging} ${BUNDLE})
