#pragma once

#include "panel/failurereports.h"
#include "panel/lamp.h"
#include "panel/panel.h"
#include "processdata/failure.h"

#include <QString>
#include <QStringList>
#include <array>
#include <memory>

namespace servo::test {

// The fakes write down every call the panel makes on its elements, in order, in one log of
// text such as "read ZqNumber3", "fill Shape1 #00ff00" or "write ZqNumber1 Int16 1151".
class RecordingField final : public ProcessField
{
public:
    RecordingField(QString name, QStringList& log) : m_name(std::move(name)), m_log(log) {}

    FieldValue value() const override
    {
        m_log.append("read " + m_name);
        if (failRead)
            throw Failure(FailureCode::FieldReadFailed, "test");
        return current;
    }
    void setValue(const FieldValue& value) override
    {
        m_log.append("write " + m_name + " " + QString::fromStdString(describe(value)));
        if (failWrite)
            throw Failure(FailureCode::FieldWriteFailed, "test");
        current = value;
    }

    FieldValue current;
    bool failRead = false;
    bool failWrite = false;

private:
    QString m_name;
    QStringList& m_log;
};

inline QString hex(Colour colour)
{
    return QStringLiteral("#%1").arg(colour.rgb(), 6, 16, QLatin1Char('0'));
}

class RecordingLamp final : public Lamp
{
public:
    RecordingLamp(QString name, QStringList& log) : m_name(std::move(name)), m_log(log) {}

    void setFillColour(Colour colour) override
    {
        m_log.append("fill " + m_name + " " + hex(colour));
    }
    void setBorderColour(Colour colour) override
    {
        m_log.append("border " + m_name + " " + hex(colour));
        if (failBorder)
            throw Failure(FailureCode::LampFailed, "test");
    }

    bool failBorder = false;

private:
    QString m_name;
    QStringList& m_log;
};

class NoConnection final : public DataConnection
{
};

// A panel over recording fakes, the way the window wires the real elements.
struct PanelRig
{
    QStringList log;
    NoConnection connection;
    std::array<std::unique_ptr<RecordingField>, kFieldCount> fields;
    std::array<std::unique_ptr<RecordingLamp>, kLampCount> lamps;
    std::unique_ptr<Panel> panel;

    PanelRig()
    {
        PanelElements elements;
        elements.DatCon1 = &connection;
        for (int i = 0; i < kFieldCount; ++i) {
            fields[i] =
                std::make_unique<RecordingField>(QStringLiteral("ZqNumber%1").arg(i + 1), log);
            elements.ZqNumber[i] = fields[i].get();
        }
        for (int i = 0; i < kLampCount; ++i) {
            lamps[i] = std::make_unique<RecordingLamp>(QStringLiteral("Shape%1").arg(i + 1), log);
            elements.Shape[i] = lamps[i].get();
        }
        panel = std::make_unique<Panel>(elements);
    }

    RecordingField& field(int number) { return *fields[number - 1]; }
    RecordingLamp& lamp(int number) { return *lamps[number - 1]; }
};

class RecordingView final : public ReportView
{
public:
    void showReport(const Report& report) override { shown.append(report); }
    void updateRepeats(int repeats) override { lastRepeats = repeats; }

    QList<Report> shown;
    int lastRepeats = 0;
};

} // namespace servo::test
