# The manual pages and the package's documents: the licence in Debian's
# machine-readable form and a changelog made from the version. Both are
# installed by cmake --install too, so a plain install carries the licence.
#
#   share/man/man1/quillpost.1.gz, share/man/ja/man1/quillpost.1.gz
#   share/doc/quillpost/copyright, share/doc/quillpost/changelog.gz

# Who the package names as its maintainer (Maintainer field and changelog
# trailer). Set it when building a package to hand out.
set(QP_PACKAGE_MAINTAINER "Quillpost developers <quillpost@example.org>"
    CACHE STRING "Maintainer of the Debian package: \"Name <address>\"")

set(QP_DOC_STAGE "${CMAKE_BINARY_DIR}/doc")
file(MAKE_DIRECTORY "${QP_DOC_STAGE}/ja")

# The pages carry the release's date (cmake/Install.cmake reads it from the
# changelog), not the build's, so rebuilding gives the same files.
set(QP_MAN_DATE "${QP_RELEASE_DATE}")

configure_file("${CMAKE_SOURCE_DIR}/man/quillpost.1.in" "${QP_DOC_STAGE}/quillpost.1" @ONLY)
configure_file("${CMAKE_SOURCE_DIR}/man/ja/quillpost.1.in" "${QP_DOC_STAGE}/ja/quillpost.1" @ONLY)
configure_file("${CMAKE_SOURCE_DIR}/packaging/changelog.in" "${QP_DOC_STAGE}/changelog" @ONLY)

# The licence text, indented as a copyright file's License paragraph wants
# it: one space before each line, " ." for an empty one.
file(STRINGS "${CMAKE_SOURCE_DIR}/LICENSE" qp_license_lines)
list(REMOVE_AT qp_license_lines 0 1 2 3) # the title and the copyright line
set(QP_LICENSE_TEXT "")
foreach(qp_line IN LISTS qp_license_lines)
  if(qp_line STREQUAL "")
    string(APPEND QP_LICENSE_TEXT " .\n")
  else()
    string(APPEND QP_LICENSE_TEXT " ${qp_line}\n")
  endif()
endforeach()
string(STRIP "${QP_LICENSE_TEXT}" QP_LICENSE_TEXT)
configure_file("${CMAKE_SOURCE_DIR}/packaging/copyright.in" "${QP_DOC_STAGE}/copyright" @ONLY)

# Debian wants manual pages and changelogs compressed to the full and
# without a time stamp of their own (gzip -9n).
set(qp_gz_outputs)
foreach(qp_doc quillpost.1 ja/quillpost.1 changelog)
  add_custom_command(OUTPUT "${QP_DOC_STAGE}/${qp_doc}.gz"
    COMMAND gzip -9nc "${QP_DOC_STAGE}/${qp_doc}" > "${QP_DOC_STAGE}/${qp_doc}.gz"
    DEPENDS "${QP_DOC_STAGE}/${qp_doc}"
    VERBATIM)
  list(APPEND qp_gz_outputs "${QP_DOC_STAGE}/${qp_doc}.gz")
endforeach()
add_custom_target(docs ALL DEPENDS ${qp_gz_outputs})

install(FILES "${QP_DOC_STAGE}/quillpost.1.gz" DESTINATION share/man/man1)
install(FILES "${QP_DOC_STAGE}/ja/quillpost.1.gz" DESTINATION share/man/ja/man1)
install(FILES "${QP_DOC_STAGE}/copyright" "${QP_DOC_STAGE}/changelog.gz"
        DESTINATION share/doc/quillpost)
