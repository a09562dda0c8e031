#include "dialog_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "link/mailbox.h"

namespace kestrel::test {

void DialogTest::SetUp() {
    ASSERT_TRUE(dir_.isValid());
    saved_exe_dir_ = g_strExeDir;
    g_strExeDir = dir_.path().toStdString();
    saved_box_ = SetMessageBoxHandler([this](QWidget*, const QString& text) { boxes_ << text; });
}

void DialogTest::TearDown() {
    dlg_.reset();
    close_link();
    if (server_) server_->stop();
    SetMessageBoxHandler(std::move(saved_box_));
    g_strExeDir = saved_exe_dir_;
}

void DialogTest::StartDevice() {
    server_ = std::make_unique<sim::Server>(device_, server_options_);
    ASSERT_TRUE(server_->start());
    warm_up(server_->address().c_str(), server_->port());
    server_->clear_exchanges();
}

CkestrelDlg& DialogTest::Dlg() {
    if (!dlg_) {
        dlg_ = std::make_unique<CkestrelDlg>();
        dlg_->show();
    }
    return *dlg_;
}

void DialogTest::ConnectToDevice() {
    SetText(IDC_EDIT_SERVER_IP, QString::fromStdString(server_->address()));
    SetText(IDC_EDIT_SERVER_PORT, QString::number(server_->port()));
    Click(IDC_BUTTON_START);
    ASSERT_EQ(Text(IDC_STATIC_STATUS), "OK!");
    server_->clear_exchanges();
    traces_.clear();
}

std::vector<int> DialogTest::EnabledOf(std::initializer_list<int> ids) {
    std::vector<int> out;
    for (int id : ids) {
        if (Enabled(id)) out.push_back(id);
    }
    return out;
}

void DialogTest::WriteSettingsFile(const std::string& content) {
    std::ofstream(SettingsFilePath(), std::ios::binary) << content;
}

std::string DialogTest::SettingsFileContent() {
    std::ifstream in(SettingsFilePath(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<sim::Exchange> DialogTest::Registers() {
    std::vector<sim::Exchange> out;
    for (const auto& ex : server_->exchanges()) {
        if (ex.kind == sim::Exchange::Kind::Read || ex.kind == sim::Exchange::Kind::Write) {
            out.push_back(ex);
        }
    }
    return out;
}

// A write command posted to HOST_CMD (00 09 0n 00 + offset) carries the bytes last written to
// HOST_DATA.
std::vector<FieldWrite> DialogTest::FieldWrites() {
    std::vector<FieldWrite> out;
    RegisterWord data{};
    for (const auto& ex : Registers()) {
        if (ex.kind != sim::Exchange::Kind::Write) continue;
        if (ex.address == HOST_DATA) data = ex.word;
        if (ex.address == HOST_CMD && ex.word[0] == 0x00 && ex.word[1] == 0x09) {
            const auto offset = static_cast<std::uint16_t>(ex.word[6] << 8 | ex.word[7]);
            out.push_back({offset, {data.begin(), data.begin() + ex.word[2]}});
        }
    }
    return out;
}

std::vector<FieldRead> DialogTest::FieldReads() {
    std::vector<FieldRead> out;
    for (const auto& ex : Registers()) {
        if (ex.kind == sim::Exchange::Kind::Write && ex.address == HOST_CMD && ex.word[0] == 0x80 &&
            ex.word[1] == 0x09) {
            out.push_back({static_cast<std::uint16_t>(ex.word[6] << 8 | ex.word[7]), ex.word[2]});
        }
    }
    return out;
}

int DialogTest::Commits() {
    int n = 0;
    for (const auto& ex : Registers()) {
        n += ex.kind == sim::Exchange::Kind::Write && ex.address == HOST_CMD &&
             ex.word == RegisterWord{};
    }
    return n;
}

int DialogTest::ReadsOf(std::uint16_t address) {
    int n = 0;
    for (const auto& ex : Registers()) {
        n += ex.kind == sim::Exchange::Kind::Read && ex.address == address;
    }
    return n;
}

}  // namespace kestrel::test
