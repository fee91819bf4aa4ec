#pragma once
#include <QPointer>
#include <QWidget>
#include <functional>

namespace qp {

// One window of the program: a single instance that is created, hidden, the
// first time any code touches it (its constructor does its load work), and
// destroyed when it is unloaded (closed). The next touch creates it afresh.
// Forms set Qt::WA_DeleteOnClose, so closing one unloads it; the QPointer
// notices.
template <typename Form>
class FormInstance {
public:
    using Factory = std::function<Form*()>;

    FormInstance() = default;
    explicit FormInstance(Factory factory) : m_factory(std::move(factory)) {}

    void setFactory(Factory factory) { m_factory = std::move(factory); }

    // The window, created hidden if it is not loaded.
    Form* touch()
    {
        if (!isLoaded())
            m_form = m_factory();
        return m_form.data();
    }

    // Touch it, then show it modeless; a shown window comes to the front.
    Form* show()
    {
        Form* form = touch();
        form->show();
        form->raise();
        form->activateWindow();
        return form;
    }

    // A window whose close was accepted is unloaded, even while its deletion
    // still waits for the event loop (Qt clears WA_DeleteOnClose at once).
    bool isLoaded() const { return !m_form.isNull() && m_form->testAttribute(Qt::WA_DeleteOnClose); }
    Form* ifLoaded() const { return isLoaded() ? m_form.data() : nullptr; }

    // Unload without the window's own unload work (the process end does this).
    void unload()
    {
        if (m_form) {
            Form* form = m_form.data();
            m_form.clear();
            form->hide();
            delete form;
        }
    }

private:
    Factory m_factory;
    QPointer<Form> m_form;
};

} // namespace qp
