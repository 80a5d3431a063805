#include "export_error.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QWidget>

#include <array>

namespace {
// Indexed by code + 34.
const std::array<const char *, 34> kTexts = {{
    QT_TRANSLATE_NOOP("export_error", "Arrêt de l'utilisateur."),                               // -34
    QT_TRANSLATE_NOOP("export_error", "Echec d'ouverture du fichier."),                         // -33
    QT_TRANSLATE_NOOP("export_error", "Echec de vérification d'intégrité de l'archive."),       // -32
    QT_TRANSLATE_NOOP("export_error", "Erreur sur l'ouverture du fichier."),                    // -31
    QT_TRANSLATE_NOOP("export_error", "Erreur sur le décodage des données du fichier."),        // -30
    QT_TRANSLATE_NOOP("export_error", "Archive déjà existante."),                               // -29
    QT_TRANSLATE_NOOP("export_error", "Echec de création de l'archive."),                       // -28
    QT_TRANSLATE_NOOP("export_error", "Fichier vidéo manquant."),                               // -27
    QT_TRANSLATE_NOOP("export_error", "Fichier descripteur manquant."),                         // -26
    QT_TRANSLATE_NOOP("export_error", "Erreur de suppression du fichier vidéo après archivage."),      // -25
    QT_TRANSLATE_NOOP("export_error", "Erreur de suppression du fichier descripteur après archivage."), // -24
    QT_TRANSLATE_NOOP("export_error", "Erreur d'archivage du fichier vidéo."),                  // -23
    QT_TRANSLATE_NOOP("export_error", "Erreur d'archivage du fichier descripteur."),            // -22
    QT_TRANSLATE_NOOP("export_error", "REMUX : Echec d'écriture de l'en-tete de sortie."),      // -21
    QT_TRANSLATE_NOOP("export_error", "REMUX : Error lors de l'ouverture du fichier de sortie."), // -20
    QT_TRANSLATE_NOOP("export_error", "REMUX : Echec de copie des paramêtres"),                 // -19
    QT_TRANSLATE_NOOP("export_error", "REMUX : Echec de création du flux de sortie."),          // -18
    QT_TRANSLATE_NOOP("export_error", "REMUX : Echec de création du contexte de sortie."),      // -17
    QT_TRANSLATE_NOOP("export_error", "REMUX : Echec de récupération des informations de flux."), // -16
    QT_TRANSLATE_NOOP("export_error", "REMUX : Erreur sur l'ouverture des données d'entrées."), // -15
    QT_TRANSLATE_NOOP("export_error", "Erreur de récupération des données vidéos."),            // -14
    QT_TRANSLATE_NOOP("export_error", "Période invalide."),                                     // -13
    QT_TRANSLATE_NOOP("export_error", "Erreur de lecture du fichier d'index."),                  // -12
    QT_TRANSLATE_NOOP("export_error", "Erreur lors du parsing des données."),                   // -11
    QT_TRANSLATE_NOOP("export_error", "L'intervalle selectionnée ne contient pas de vidéo."),   // -10
    QT_TRANSLATE_NOOP("export_error", "Format d'exportation non supporté."),                    // -9
    QT_TRANSLATE_NOOP("export_error", "Erreur d'écriture du fichier de sortie."),               // -8
    QT_TRANSLATE_NOOP("export_error", "Erreur de décodage des données vidéos."),                // -7
    QT_TRANSLATE_NOOP("export_error", "Erreur d'initialisation du décodeur."),                  // -6
    QT_TRANSLATE_NOOP("export_error", "Erreur d'initialisation de l'encodeur. #1"),             // -5
    QT_TRANSLATE_NOOP("export_error", "Fichier d'index introuvable."),                          // -4
    QT_TRANSLATE_NOOP("export_error", "Fichier vidéo introuvable."),                            // -3
    QT_TRANSLATE_NOOP("export_error", "Heure de fin d'exportation introuvable."),               // -2
    QT_TRANSLATE_NOOP("export_error", "Heure de début d'exportation introuvable."),             // -1
}};
} // namespace

export_error::export_error(QWidget *widget)
    : QObject(nullptr), m_widget(widget)
{
}

QString export_error::errorMessage(int code)
{
    // In 64 bits: any int is a code, and INT_MAX + 34 must not overflow.
    const qint64 index = qint64(code) + 34;
    if (index < 0 || index >= static_cast<qint64>(kTexts.size()))
        return QCoreApplication::translate("export_error", "Erreur inconnue.");
    return QCoreApplication::translate("export_error", kTexts[static_cast<size_t>(index)]);
}

void export_error::error_parse(int code)
{
    QMessageBox::information(m_widget.data(), tr("Erreur de paramétrage"), errorMessage(code),
                             QMessageBox::Ok);
}
