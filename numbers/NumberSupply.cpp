#include "numbers/NumberSupply.h"

// Filled in by the work on the state file.
QString NumberSource::text() const
{
    return {};
}

std::unique_ptr<NumberSupply> NumberSupply::open(const NumberSource &, const NumberForm &, const QString &,
                                                 QString *refusal)
{
    if (refusal)
        *refusal = QStringLiteral("not built yet");
    return nullptr;
}

NumberSupply::NumberSupply(NumberSource source, NumberForm form, QString statePath)
    : m_source(std::move(source))
    , m_form(form)
    , m_statePath(std::move(statePath))
{}

NumberSupply::~NumberSupply() = default;

std::optional<DeviceNumber> NumberSupply::take(QString *)
{
    return std::nullopt;
}

bool NumberSupply::giveBack(const DeviceNumber &, QString *)
{
    return false;
}

std::optional<DeviceNumber> NumberSupply::peek(QString *)
{
    return std::nullopt;
}

QString defaultNumberStatePath(const QString &)
{
    return {};
}
