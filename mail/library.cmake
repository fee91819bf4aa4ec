# The mail-library layer: the connection (TLS, time-outs) below, our own
# POP3 client and the header decoder on it, and the ten calls of the mail
# library on top of them.
add_library(qp_mail_library STATIC
  ${CMAKE_CURRENT_LIST_DIR}/MailLibrary.h
  ${CMAKE_CURRENT_LIST_DIR}/NMail.cpp ${CMAKE_CURRENT_LIST_DIR}/NMail.h
  ${CMAKE_CURRENT_LIST_DIR}/MailSession.h
  ${CMAKE_CURRENT_LIST_DIR}/OAuthTokenSource.h
  ${CMAKE_CURRENT_LIST_DIR}/OAuthSasl.cpp ${CMAKE_CURRENT_LIST_DIR}/OAuthSasl.h
  ${CMAKE_CURRENT_LIST_DIR}/Pop3Session.cpp ${CMAKE_CURRENT_LIST_DIR}/Pop3Session.h
  ${CMAKE_CURRENT_LIST_DIR}/ImapSession.cpp ${CMAKE_CURRENT_LIST_DIR}/ImapSession.h
  ${CMAKE_CURRENT_LIST_DIR}/MailTransport.cpp ${CMAKE_CURRENT_LIST_DIR}/MailTransport.h
  ${CMAKE_CURRENT_LIST_DIR}/MailText.cpp ${CMAKE_CURRENT_LIST_DIR}/MailText.h
  ${CMAKE_CURRENT_LIST_DIR}/MailClientBase.cpp ${CMAKE_CURRENT_LIST_DIR}/MailClientBase.h
  ${CMAKE_CURRENT_LIST_DIR}/TlsMemory.cpp ${CMAKE_CURRENT_LIST_DIR}/TlsMemory.h
  ${CMAKE_CURRENT_LIST_DIR}/Pop3Client.cpp ${CMAKE_CURRENT_LIST_DIR}/Pop3Client.h
  ${CMAKE_CURRENT_LIST_DIR}/Pop3Reply.cpp ${CMAKE_CURRENT_LIST_DIR}/Pop3Reply.h
  ${CMAKE_CURRENT_LIST_DIR}/Pop3HeaderMemory.cpp ${CMAKE_CURRENT_LIST_DIR}/Pop3HeaderMemory.h
  ${CMAKE_CURRENT_LIST_DIR}/ImapResponse.cpp ${CMAKE_CURRENT_LIST_DIR}/ImapResponse.h
  ${CMAKE_CURRENT_LIST_DIR}/ImapClient.cpp ${CMAKE_CURRENT_LIST_DIR}/ImapClient.h
  ${CMAKE_CURRENT_LIST_DIR}/ImapIdle.cpp ${CMAKE_CURRENT_LIST_DIR}/ImapIdle.h
  ${CMAKE_CURRENT_LIST_DIR}/HeaderDecoder.cpp ${CMAKE_CURRENT_LIST_DIR}/HeaderDecoder.h
  ${CMAKE_CURRENT_LIST_DIR}/Charsets.cpp ${CMAKE_CURRENT_LIST_DIR}/Charsets.h
)
target_include_directories(qp_mail_library PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(qp_mail_library PUBLIC qp_platform Qt6::Core Qt6::Network)
