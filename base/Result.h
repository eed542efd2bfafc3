#pragma once
// What an operation that can fail gives back: its value, or a failure with a
// kind the caller acts on and a text the user can read. Every layer has its
// own kinds; the shape is the same everywhere.

#include <QString>
#include <utility>
#include <variant>

template <typename Kind>
struct Failure {
    Kind kind;
    QString text;
};
template <typename Kind, typename Text>
Failure(Kind, Text) -> Failure<Kind>;

template <typename T, typename Kind>
class [[nodiscard]] Result {
public:
    Result(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
    Result(Failure<Kind> failure) : m_state(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Only on success.
    T &value() & { return std::get<0>(m_state); }
    const T &value() const & { return std::get<0>(m_state); }
    T &&value() && { return std::get<0>(std::move(m_state)); }
    T *operator->() { return &value(); }
    const T *operator->() const { return &value(); }
    T &operator*() & { return value(); }
    const T &operator*() const & { return value(); }

    // Only on failure.
    const Failure<Kind> &failure() const { return std::get<1>(m_state); }
    Kind kind() const { return failure().kind; }
    const QString &text() const { return failure().text; }

private:
    std::variant<T, Failure<Kind>> m_state;
};

// Success with nothing to give back, or a failure.
template <typename Kind>
class [[nodiscard]] Result<void, Kind> {
public:
    Result() = default;
    Result(Failure<Kind> failure) : m_failed(true), m_failure(std::move(failure)) {}

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }

    const Failure<Kind> &failure() const { return m_failure; }
    Kind kind() const { return m_failure.kind; }
    const QString &text() const { return m_failure.text; }

private:
    bool m_failed = false;
    Failure<Kind> m_failure{};
};
