#pragma once

#include "serial/PortResolver.h"

#include <QStringList>

// Gives the answers of a port number from a list, one per opening, so a test
// can let the probe reach the device and the downloader window's opening
// meet something else.
class ScriptedResolver : public PortResolver
{
public:
    explicit ScriptedResolver(QStringList answers)
        : m_answers(std::move(answers))
    {
    }
    QString resolve(qint16) const override { return m_answers.isEmpty() ? QString() : m_answers.takeFirst(); }

private:
    mutable QStringList m_answers;
};
