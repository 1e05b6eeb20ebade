# Turns a text file into a C++ source defining `extern const char NAME[]` and NAME##Bytes in
# namespace NAMESPACE, for the program to carry the file inside it.
#   cmake -DINPUT=page.html -DOUTPUT=page.cpp -DNAME=kPage -DNAMESPACE=vg::live -P embed.cmake
file(READ "${INPUT}" content)
string(FIND "${content}" ")vglog_embed\"" clash)
if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${INPUT} contains the raw string's end marker")
endif()
file(WRITE "${OUTPUT}.tmp"
    "// Generated from ${INPUT} at build time; edit that file instead.\n"
    "#include <cstddef>\n\nnamespace ${NAMESPACE} {\n\n"
    "extern const char ${NAME}[];\n"
    "extern const std::size_t ${NAME}Bytes;\n"
    "const char ${NAME}[] = R\"vglog_embed(${content})vglog_embed\";\n"
    "const std::size_t ${NAME}Bytes = sizeof ${NAME} - 1;\n\n}  // namespace ${NAMESPACE}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
