// Captures what a piece of code prints on standard output, and the console
// texts of a run as the CP932 bytes it prints.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace quillet::test {

template <typename Action>
std::string console_of(Action action) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  action();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

inline const std::string kNoStretch = "\x90\x4c\x8f\x6b\x82\xc8\x82\xb5\n";  // 伸縮なし
inline const std::string kPitch = "\x83\x73\x83\x62\x83\x60 ";                 // ピッチ
inline const std::string kTime = "\x83\x5e\x83\x43\x83\x80 ";                  // タイム
inline const std::string kLength = "\x92\xb7\x82\xb3 ";                        // 長さ
inline const std::string kArrow = "\x81\xa8";                                  // →
inline const std::string kBlank = "\x8f\x49\x82\xe8\x82\xcc\x83\x75\x83\x89\x83\x93\x83\x4e ";  // 終りのブランク
inline const std::string kVolume = "\x83\x7b\x83\x8a\x83\x85\x81\x5b\x83\x80 ";                // ボリューム
inline const std::string kModulation =
    "\x83\x82\x83\x57\x83\x85\x83\x8c\x81\x5b\x83\x56\x83\x87\x83\x93 ";  // モジュレーション
inline const std::string kFiltering = "\x83\x74\x83\x42\x83\x8b\x83\x5e\x92\x86\n";  // フィルタ中
inline const std::string kAnalysing =
    "\x8e\xfc\x94\x67\x90\x94\x95\x5c\x8d\xec\x90\xac\x92\x86\n";  // 周波数表作成中
inline const std::string kStart = "\x8f\x88\x97\x9d\x8a\x4a\x8e\x6e\n";  // 処理開始
inline const std::string kDone =
    "\x8a\xae\x97\xb9\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42\n"
    "\x90\xb6\x90\xac\x83\x74\x83\x40\x83\x43\x83\x8b\x81\x46";  // 完了しました。\n生成ファイル：

// "長さ a → b\n".
inline std::string length_line(int in, int out) {
  return kLength + std::to_string(in) + " " + kArrow + " " + std::to_string(out) + "\n";
}

}  // namespace quillet::test
