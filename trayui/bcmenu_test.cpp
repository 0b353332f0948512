#include "trayui/bcmenu.h"
#include <gtest/gtest.h>
TEST(BCMenuBuild, Links) {
  auto m = win32::GetModuleHandleW(nullptr);
  printf("mod %p\n", (void*)m);
  auto r = win32::FindResourceW(m, win32::MAKEINTRESOURCEW(103), win32::RT_MENU);
  printf("res %p err %u\n", r, win32::GetLastError());
  trayui::BCMenu menu; EXPECT_TRUE(menu.LoadMenu(103)); }
