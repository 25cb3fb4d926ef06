#include "Commands.h"

#include "SerprogCommand.h"

namespace kestrix::cli {

Device& Session::Gateway() {
    if (!m_device) m_device = std::make_unique<Device>(m_address, m_timeoutMs);
    return *m_device;
}

Bytes Session::ReadInput(const std::string& path) const {
    if (files != nullptr) return files->Read(path, commandsOnStandardInput);
    return ReadFile(path, commandsOnStandardInput);
}

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = [] {
        std::vector<Command> all = DeviceCommands();
        for (Command& command : FlashCommands()) all.push_back(std::move(command));
        all.push_back({"serprog", kSerprogSynopsis, kSerprogHelp, RunSerprog});
        return all;
    }();
    return commands;
}

const Command* FindCommand(const std::string& name) {
    for (const Command& command : Commands()) {
        if (command.name == name) return &command;
    }
    return nullptr;
}

}  // namespace kestrix::cli
