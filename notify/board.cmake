# The new-mail notice board.
add_library(qp_board_ui STATIC
  ${CMAKE_CURRENT_LIST_DIR}/MsgForm.cpp ${CMAKE_CURRENT_LIST_DIR}/MsgForm.h
)
target_link_libraries(qp_board_ui PUBLIC qp_platform_ui)
