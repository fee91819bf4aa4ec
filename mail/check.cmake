# The check cycle and the scheduling of checks (logic only, Qt Core).
add_library(qp_mail_check STATIC
  ${CMAKE_CURRENT_LIST_DIR}/CheckHost.h
  ${CMAKE_CURRENT_LIST_DIR}/CheckMail.cpp ${CMAKE_CURRENT_LIST_DIR}/CheckMail.h
  ${CMAKE_CURRENT_LIST_DIR}/Scheduler.cpp ${CMAKE_CURRENT_LIST_DIR}/Scheduler.h
  ${CMAKE_CURRENT_LIST_DIR}/WaitWithEvents.cpp ${CMAKE_CURRENT_LIST_DIR}/WaitWithEvents.h
  ${CMAKE_CURRENT_LIST_DIR}/Reentry.h
)
target_link_libraries(qp_mail_check PUBLIC qp_settings qp_watchlist qp_actions qp_platform Qt6::Core)
if(TARGET qp_mail_library)
  target_link_libraries(qp_mail_check PUBLIC qp_mail_library)
endif()
