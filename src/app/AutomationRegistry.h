#pragma once

#include <string>

namespace stratavon {

// The automation server's names on the session bus.
constexpr char kAutomationProgId[] = "Corvane.Application";
constexpr char kClassFactoryPath[] = "/Corvane/Application";
constexpr char kClassFactoryInterface[] = "Corvane.IClassFactory";
constexpr char kUnknownInterface[] = "Corvane.IUnknown";
constexpr char kCorvaneInterface[] = "Corvane.ICorvane";
// Instances live below the factory: /Corvane/Application/Instance<n>.
constexpr char kInstancePathPrefix[] = "/Corvane/Application/Instance";

// The user's data directory: $XDG_DATA_HOME when it is an absolute path,
// else ~/.local/share. Empty when neither can be found.
std::string UserDataHome();

// Where the registration lives under a data directory.
std::string ActivationFilePath(const std::string& szDataHome);
std::string InterfaceFilePath(const std::string& szDataHome);

// The activation file's text: the bus starts szProgram with /Embedding
// when a client calls the name while no process owns it.
std::string ActivationFileText(const std::string& szProgram);

// Writes (bRegister) or removes the activation file of the class factory.
// Registering replaces the file whole, so a program that has moved takes
// over its name; removing a file that is not there succeeds.
bool UpdateRegistryAll(bool bRegister, const std::string& szDataHome, const std::string& szProgram);

// Writes or removes the interface description (our type library).
bool RegisterTypeLib(const std::string& szDataHome);
bool UnregisterTypeLib(const std::string& szDataHome);

// The interface description as the program carries it.
const char* InterfaceDescription();

}  // namespace stratavon
