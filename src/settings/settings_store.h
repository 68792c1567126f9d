// The service's directory layout and its INI settings.
#pragma once

#include <string>

#include "settings/ini_values.h"

namespace zep {

constexpr const char* kConfigurationFileName = "TKConfiguration.ini";
constexpr const char* kUserConfigurationFileName = "user_config.ini";

struct SettingsPaths {
  std::string moduleDirectory;
  std::string configurationFile;
  std::string userConfigurationFile;
  std::string logDirectory;
  std::string cacheDirectory;
  std::string uploadDirectory;
  std::string dumpDirectory;
  std::string userLogDirectory;
  std::string serviceLogFile;
  std::string userLogFile;
};

// Resolves the paths, creates the working directories and prepares the log;
// does its work only the first time.
void InitializeSettings();
SettingsPaths GetSettingsPaths();

// section null means "TK". An empty or missing value gives the default.
std::string ReadIniValue(const char* section, const char* key, const char* defaultValue, const std::string& file);
std::string GetConfiguration(const char* key, const char* defaultValue);
void SetConfiguration(const char* key, const char* value);
void SetConfigurationInt(const char* key, int value);

std::string GetConfigurationFilePath();
std::string GetUserConfigurationFilePath();
std::string GetServiceExecutablePath();
void SetServiceExecutablePath(const std::string& path);
// "EnableEnhancedMode" as read by the initialisation.
bool EnhancedModeEnabled();

}  // namespace zep
