#pragma once

#include <QString>
#include <optional>
#include <utility>

// How a step of the connection and transfer logic that can fail reports
// back: the value it made, or why it could not, worded for the status list
// or a message box. A failure always carries its reason.
//
//   Outcome<QByteArray> r = encrypted(engine, line);
//   if (!r) show(r.error());
//   else send(r.value());
struct Failure {
    QString why;
};

template <typename T = void> class [[nodiscard]] Outcome {
public:
    Outcome(T value) : m_value(std::move(value)) {}
    Outcome(Failure failure) : m_error(std::move(failure.why)) {}

    bool ok() const { return m_value.has_value(); }
    explicit operator bool() const { return ok(); }
    // Only when ok().
    const T& value() const& { return *m_value; }
    T&& value() && { return std::move(*m_value); }
    // Empty when ok().
    const QString& error() const { return m_error; }

private:
    std::optional<T> m_value;
    QString m_error;
};

// A step that makes nothing: it worked, or the reason it did not.
template <> class [[nodiscard]] Outcome<void> {
public:
    Outcome() = default;
    Outcome(Failure failure) : m_failed(true), m_error(std::move(failure.why)) {}

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    const QString& error() const { return m_error; }

private:
    bool m_failed = false;
    QString m_error;
};
