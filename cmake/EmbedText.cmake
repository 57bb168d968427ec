# Embeds a text file (a schema) into a generated header as one constant (its name must be
# unique in the program: the constant is inline), so the program and
# the file shipped beside the sources can never differ. Reconfigures when the file changes.
function(kxmp_embed_text source header name)
  file(READ ${source} content)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(WRITE ${header}.tmp "// Generated from ${source}; edit that file.\n#pragma once\ninline constexpr const char ${name}[] = R\"kxtext(${content})kxtext\";\n")
  file(COPY_FILE ${header}.tmp ${header} ONLY_IF_DIFFERENT)
  file(REMOVE ${header}.tmp)
endfunction()
