# Logic: mail-program launch and choice, dial-up hang-up (Core + DBus only).
add_library(qp_actions STATIC
  ${CMAKE_CURRENT_LIST_DIR}/MailerLaunch.cpp ${CMAKE_CURRENT_LIST_DIR}/MailerLaunch.h
  ${CMAKE_CURRENT_LIST_DIR}/MailerChoice.cpp ${CMAKE_CURRENT_LIST_DIR}/MailerChoice.h
  ${CMAKE_CURRENT_LIST_DIR}/DialUp.cpp ${CMAKE_CURRENT_LIST_DIR}/DialUp.h
)
target_link_libraries(qp_actions PUBLIC qp_platform Qt6::Core Qt6::DBus)

# What needs a window: the file dialog, the notices, the homepage prompt.
add_library(qp_actions_ui STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ActionsUi.cpp ${CMAKE_CURRENT_LIST_DIR}/ActionsUi.h
)
target_link_libraries(qp_actions_ui PUBLIC qp_actions qp_platform_ui Qt6::Gui Qt6::Widgets)
