// Shared helpers of the main-window tests: services that never block and a
// window whose recently-used file lives in a temporary folder.
#pragma once

#include "gui/Main.h"
#include "gui/RichView.h"

#include "text/Streams.h"

#include <QAction>
#include <QCoreApplication>
#include <QLineEdit>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextBlock>
#include <memory>
#include <string>

struct TFakeServices : TFormServices {
    struct TState {
        QStringList errors;
        QStringList dialogs;        // "open <filter>" / "save <title> <filter> <ext>"
        QStringList openAnswers;    // consumed one per open dialog; empty: cancel
        QStringList saveAnswers;
        int aboutShown = 0;
    };
    std::shared_ptr<TState> state = std::make_shared<TState>();

    bool executeOpenDialog(QWidget*, const QString& filter, QString& fileName) override
    {
        state->dialogs << "open " + filter;
        if (state->openAnswers.isEmpty())
            return false;
        fileName = state->openAnswers.takeFirst();
        return true;
    }
    bool executeSaveDialog(QWidget*, const QString& title, const QString& filter, const QString& ext,
                           QString& fileName) override
    {
        state->dialogs << "save " + title + " " + filter + " " + ext + (fileName.isEmpty() ? "" : " named");
        if (state->saveAnswers.isEmpty())
            return false;
        fileName = state->saveAnswers.takeFirst();
        return true;
    }
    void showError(QWidget*, const QString& message) override { state->errors << message; }
    void showAbout(TAboutDialog*) override { ++state->aboutShown; }
};

struct TFormFixture {
    QTemporaryDir dir;
    std::shared_ptr<TFakeServices::TState> state;
    std::unique_ptr<TMainForm> form;

    explicit TFormFixture(TMruLocation mru = {})
    {
        auto services = std::make_unique<TFakeServices>();
        state = services->state;
        if (mru.file.empty())
            mru.file = path("ortavix.mru");
        form = std::make_unique<TMainForm>(std::move(services), mru);
    }

    std::string path(const char* name) const { return dir.filePath(name).toStdString(); }

    std::string write(const char* name, const std::string& bytes) const
    {
        std::string p = path(name);
        TFileStream f(p, fmCreate);
        f.writeBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
        return p;
    }

    // Types a name and runs the Open command as Enter would.
    void open(const std::string& name)
    {
        form->FileEdit->setText(QString::fromStdString(name));
        form->OpenHtmlFile->trigger();
    }
};

inline std::string readBytes(const std::string& path)
{
    TMemoryStream m;
    m.loadFromFile(path);
    return m.bytes();
}

// The view's text with lines joined by "\n".
inline QString viewText(TRichView* v)
{
    QStringList lines;
    for (QTextBlock b = v->document()->begin(); b.isValid(); b = b.next())
        lines << b.text();
    return lines.join('\n');
}

// All item texts concatenated, ignoring how they are laid out.
inline std::u16string itemText(TRichView* v)
{
    std::u16string s;
    for (int i = 0; i < v->itemCount(); ++i)
        s += v->item(i).text;
    return s;
}
