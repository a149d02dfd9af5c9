// One run of the engine's own run flow in this process, as the installation
// suites start it: switches checked as the engine checks them, the n-th
// recorded change made to fail (0: none), the run log read back.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/Main.h"
#include "install/Install.h"
#include "support/TestMachine.h"
#include "system/RunLog.h"
#include "system/kqRegIni.h"

namespace vxtest {

inline int RunEngineInProcess(const std::vector<std::string>& params, int failAt, const std::string& runLogPath,
                              std::string& runLog) {
  vx::CommandLine commandLine(params);
  vx::UnattendedAnswers answers;
  std::string error;
  EXPECT_TRUE(vx::ConfigureUnattended(commandLine, answers, error)) << error;
  int code = vx::RunEngine(commandLine, answers,
                           [failAt](vx::RunInstaller& installer) { installer.FailAtAction(failAt); });
  vx::CloseRunLog();
  vx::IniFlush();
  runLog = ReadNative(runLogPath);
  return code;
}

}  // namespace vxtest
