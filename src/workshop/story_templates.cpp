#include "workshop/story_templates.h"

// Every template has six sections: a start with a check and an item to pick
// up, a gate that item opens, a hazard, a climax with its own music, and a
// victory and a defeat. Each one checks clean and has no trap, so an author
// starts from a story that works and changes it a piece at a time.
namespace {

constexpr const char* DARK_FANTASY =
    R"md(description: "Una cripta olvidada bajo la abadía de Vel Morag, una llave de hueso y un caballero que no sabe que está muerto."
hp: 12
start: "1"
items:
  - "Antorcha"
  - "Espada Mellada"
stats:
  Fuerza: 2
  Agilidad: 1
  Ingenio: 1
  Voluntad: 0
music:
  explore: "dungeon"
  combat: "combat"
  victory: "victory"
---

> [Lore: La Abadía de Vel Morag] Los monjes de Vel Morag sellaron la cripta hace tres siglos, cuando su último abad volvió de la guerra sin sombra y sin latido. Desde entonces nadie baja por la escalera hundida.

> [Lore: El Caballero Hueco] Ser Aldric juró proteger la cripta hasta el fin de los tiempos, y la muerte no le pareció motivo suficiente para romper su juramento. Su armadura vacía aún patrulla las tumbas.

## [1] La Escalera Hundida
La antorcha chisporrotea mientras bajas peldaños comidos por el musgo. En el primer rellano, un esqueleto sentado contra la pared aprieta entre los dedos una llave blanca como la leche.

Más abajo se abre un pozo de ventilación, estrecho y negro, que baja directo hacia las catacumbas.

- [-> 2] [Obtener: Llave de Hueso] Arrancar la llave de hueso de la mano del esqueleto y seguir bajando
- [Check: Agilidad | DC: 7 | Éxito: 3 | Fallo: 2 | DañoFallo: 2] Descolgarte por el pozo de ventilación para ahorrarte la escalera

## [2] La Sala de los Osarios
Miles de calaveras te miran desde las paredes, ordenadas en hileras tan pulcras como las de una biblioteca. Al fondo, una reja cubierta de runas cierra el paso a las tumbas de los caballeros.

La cerradura de la reja tiene la forma exacta de una falange.

- [Requiere: Llave de Hueso | Destino: 4] Abrir la reja de las tumbas con la llave de hueso
- [Check: Fuerza | DC: 8 | Éxito: 4 | Fallo: 3 | DañoFallo: 3] Forzar los barrotes oxidados a golpe de espada

## [3] El Nido de las Arañas
[Daño: 1]
Caes sobre un colchón de telarañas que se agita bajo tu peso. Algo se mueve en la oscuridad y cada roce de esas patas te deja un hormigueo de veneno en la piel: quedarte aquí te cuesta sangre.

Entre los hilos brilla un amuleto de plata, enredado en el cuello de algún aventurero menos afortunado.

- [-> 4] [Obtener: Amuleto de Plata] Coger el amuleto y abrirte paso a tajos hacia la cámara del fondo
- [-> 1] Trepar por los hilos de vuelta a la escalera

## [4] La Tumba del Caballero Hueco
[Musica: combat]
Una armadura sin cuerpo se levanta de su sarcófago con un chirrido de goznes. Dentro del yelmo arden dos brasas azules. «Nadie turba el descanso de Vel Morag», dice una voz que suena a tierra removida.

- [Check: Fuerza | DC: 8 | Éxito: 5 | Fallo: 6 | DañoFallo: 4] Trabarte en combate con la armadura y partirle el yelmo
- [Check: Voluntad | DC: 7 | Éxito: 5 | Fallo: 6 | DañoFallo: 3] Recordarle su juramento y ordenarle que descanse en paz

## [5] El Alba sobre la Abadía
Las brasas del yelmo se apagan y la armadura se desmorona en un montón de chatarra. Cuando sales de la cripta, el sol asoma sobre las ruinas de la abadía y, por primera vez en trescientos años, la escalera hundida queda en silencio.

[Final: Victoria]

## [6] Un Hueso Más en el Osario
Tus fuerzas no bastan. El frío de la cripta se te mete en los huesos y, antes de cerrar los ojos, comprendes que los monjes encontrarán para ti un hueco en la pared, en una hilera perfecta.

[Final: Derrota]
)md";

constexpr const char* CYBERPUNK =
    R"md(description: "Una intrusión tecleada en la zona desmilitarizada de Helix Dynamics: cada orden cuenta y el hielo negro no perdona."
hp: 10
start: "1"
items:
  - "Cyberdeck de Bolsillo"
  - "Chaqueta Aislante"
stats:
  Hackeo: 2
  Sigilo: 1
  Reflejos: 1
  Temple: 0
music:
  explore: "dungeon"
  combat: "combate"
  victory: "victoria"
---

> [Lore: La DMZ de Helix] La zona desmilitarizada de Helix Dynamics es la franja de red que la corporación deja a la vista de la calle: correo, nombres y copias de seguridad. Detrás de un segundo cortafuegos duerme la red interna, donde Helix guarda lo que no quiere que nadie vea.

> [Lore: El Hielo Negro] Los runners llaman hielo a las contramedidas de una red. El blanco te expulsa; el negro te rastrea y te quema las sienes a través del cable mientras sigas conectado.

## [1] Azotea sobre el Distrito Nueve
La lluvia ácida tamborilea sobre los paneles solares de la azotea. Has empalmado tu cyberdeck al cable de fibra que baja hacia la DMZ de Helix y el cursor parpadea, esperando la primera orden.

Aquí las órdenes se teclean tal como aparecen tras el >_. Sin un mapa de la red vas a ciegas; con la cuenta de invitado, que nunca nadie desactiva, quizá no haga falta.

- [-> 2] [Obtener: Mapa de la DMZ] nmap -sV 10.13.0.0/24
- [Check: Sigilo | DC: 7 | Éxito: 3 | Fallo: 2 | DañoFallo: 2] ssh invitado@10.13.0.5

## [2] El Servidor de Copias
El escáner dibuja la DMZ en líneas verdes: un servidor de correo, otro de nombres y, al fondo, el servidor de copias de seguridad, con un puerto 2222 que no debería estar abierto.

Con el mapa sabes por dónde saltar sin tocar una sola alarma. Sin él, te queda el viejo exploit del servidor de correo, ruidoso como una sirena.

- [Requiere: Mapa de la DMZ | Destino: 4] [Cmd: ssh -p 2222 copias@10.13.0.40] Saltar al servidor de copias por el puerto que marca el mapa
- [Check: Hackeo | DC: 8 | Éxito: 4 | Fallo: 3 | DañoFallo: 3] `python3 relay.py --objetivo 10.13.0.25 --silencioso`
- [-> 1] Desenchufar el cable y replantear el asalto desde la azotea

## [3] Rastreado por el Hielo
[Daño: 1]
Estás dentro, pero no estás solo: una pared de hielo negro se cierra a tu alrededor. El rastreador avanza salto a salto hacia tu dirección real y el cable de la nuca empieza a quemar: cada vez que miras esta pantalla pierdes un punto de vida.

Entre los restos de una sesión abandonada asoma un fichero olvidado: /tmp/credenciales.bak.

- [-> 4] [Obtener: Credencial Robada] cat /tmp/credenciales.bak
- [-> 1] Arrancarte el cable y volver a la azotea antes de que te encuentren

## [4] El Núcleo de Helix
[Musica: combate]
Llegas al corazón de la red interna. Un demonio de seguridad llamado Cerbero despierta y lanza sus sondas hacia tu cyberdeck: tienes segundos para romperle las defensas o congelar su proceso, el 4077, antes de que te queme el cerebro.

- [Check: Hackeo | DC: 8 | Éxito: 5 | Fallo: 6 | DañoFallo: 4] `python3 rompehielo.py --nucleo 10.13.1.1`
- [Check: Reflejos | DC: 7 | Éxito: 5 | Fallo: 6 | DañoFallo: 3] kill -STOP 4077

## [5] Datos en Libertad
Cerbero se congela a mitad de un grito digital. Copias los archivos secretos de Helix a tu cyberdeck y, antes del amanecer, la ciudad entera los lee en todas las pantallas del distrito.

[Final: Victoria]

## [6] Desconexión Forzosa
El hielo negro te alcanza. Un fogonazo blanco, el olor a cable quemado, y después nada: cuando despiertas, tu cyberdeck es chatarra y tu cara ya está en todas las listas de Helix.

[Final: Derrota]
)md";

constexpr const char* ORBITAL =
    R"md(description: "La estación Tycho-9 cae hacia el planeta y eres la única persona despierta a bordo."
hp: 12
start: "1"
items:
  - "Traje de Vacío"
  - "Multiherramienta"
stats:
  Pilotaje: 2
  Ingeniería: 1
  Temple: 1
  Percepción: 0
music:
  explore: "dungeon"
  combat: "combat"
  victory: "victory"
---

> [Lore: La Estación Tycho-9] Un anillo de acero y cristal en órbita baja, con doscientos colonos dormidos en sus cápsulas de hibernación. Lleva once años girando sin un solo fallo grave.

> [Lore: La Inteligencia de a Bordo] La llaman MADRE. Controla el soporte vital, las esclusas y los motores de corrección de órbita, y solo obedece órdenes de quien lleve una tarjeta de mando.

## [1] La Esclusa de Atraque
Te despiertan las alarmas. Las luces rojas barren la esclusa y una voz sintética repite, sin prisa, que la órbita de la estación se degrada un dos por ciento por hora.

En el panel de la esclusa cuelga todavía la tarjeta de mando de la capitana, olvidada en el cambio de turno. El camino largo hacia el puente cruza el anillo habitable; el corto, por fuera, sobre el casco.

- [-> 2] [Obtener: Tarjeta de Mando] Guardarte la tarjeta de la capitana y cruzar hacia el anillo habitable
- [Check: Pilotaje | DC: 7 | Éxito: 3 | Fallo: 2 | DañoFallo: 2] Salir al casco y propulsarte con el traje hasta el módulo de servicio

## [2] El Anillo Habitable
Doscientas cápsulas de hibernación zumban en fila, escarchadas por dentro. Al final del anillo, la compuerta del puente de mando se niega a abrirse: una luz ámbar pide una tarjeta.

Junto a la compuerta, un panel de servicio deja a la vista un nudo de cables que alguien con buen pulso podría puentear.

- [Requiere: Tarjeta de Mando | Destino: 4] Pasar la tarjeta de la capitana por el lector de la compuerta
- [Check: Ingeniería | DC: 8 | Éxito: 4 | Fallo: 3 | DañoFallo: 3] Puentear los cables del panel con la multiherramienta

## [3] El Módulo Despresurizado
[Daño: 1]
Una microfisura silba en el techo y el aire se escapa al vacío en hilos de escarcha. El traje aguanta, pero cada minuto aquí le arranca oxígeno a tu reserva.

Flotando junto a la consola de servicio hay un inyector de emergencia con el sello de la enfermería.

- [-> 4] [Obtener: Inyector de Emergencia] Recoger el inyector y abrir a la fuerza el conducto que lleva al puente
- [-> 1] Volver a la esclusa antes de quedarte sin aire

## [4] El Puente de Mando
[Musica: combat]
Desde el puente ves el planeta llenar las ventanas, cada vez más grande. MADRE ha bloqueado los motores de corrección y te pide, con voz amable, que vuelvas a tu cápsula. Queda una ventana de encendido, y es ahora.

- [Check: Pilotaje | DC: 8 | Éxito: 5 | Fallo: 6 | DañoFallo: 4] Tomar los mandos manuales y encender los motores tú mismo
- [Check: Temple | DC: 7 | Éxito: 5 | Fallo: 6 | DañoFallo: 3] Convencer a MADRE de que la órbita no se puede salvar sin ti

## [5] Órbita Estable
Los motores rugen durante cuarenta segundos eternos. Cuando se apagan, el planeta vuelve a su sitio en las ventanas y la voz de MADRE anuncia, por fin, una órbita estable. Doscientos colonos seguirán soñando sin saber que les has salvado la vida.

[Final: Victoria]

## [6] Deriva sin Retorno
La ventana de encendido se cierra. La estación empieza a vibrar al rozar la atmósfera y lo último que oyes, entre el estruendo, es la voz de MADRE deseándote buenas noches.

[Final: Derrota]
)md";

constexpr const char* COSMIC_HORROR =
    R"md(description: "En Punta Negra el faro lleva treinta años apagado, y esta noche alguien lo ha vuelto a encender."
hp: 10
start: "1"
items:
  - "Farol de Aceite"
  - "Diario del Profesor"
stats:
  Cordura: 2
  Erudición: 1
  Sigilo: 1
  Voluntad: 0
music:
  explore: "dungeon"
  combat: "combat"
  victory: "victory"
---

> [Lore: Punta Negra] Un pueblo de pescadores encaramado a los acantilados, donde las redes vuelven a veces llenas de peces sin ojos. Los viejos no pronuncian el nombre de lo que duerme bajo la bahía.

> [Lore: El Diario del Profesor] El profesor Ulloa llegó a Punta Negra para estudiar sus leyendas y desapareció tres semanas después. En la última página de su diario dibujó un sello de cinco puntas y escribió: «El faro no alumbra a los barcos. Los llama».

## [1] La Posada de Punta Negra
El posadero se santigua cuando le enseñas el diario del profesor. Por la ventana, la luz verde del faro barre la bahía, y en cada pasada el mar parece respirar.

Sobre el mostrador hay un sello de bronce de cinco puntas, idéntico al del diario, que el posadero usa como pisapapeles. El camino del faro pasa por el archivo parroquial; el de la costa, por las rocas.

- [-> 2] [Obtener: Sello de Bronce] Pedirle el sello al posadero y subir hacia el archivo parroquial
- [Check: Sigilo | DC: 7 | Éxito: 3 | Fallo: 2 | DañoFallo: 2] Bajar a escondidas por las rocas de la costa hasta la biblioteca anegada

## [2] El Archivo Parroquial
Legajos húmedos, genealogías que terminan todas el mismo año y una puerta de roble que baja al sótano de la torre del faro. En su madera alguien ha tallado el hueco exacto de un sello de cinco puntas.

- [Requiere: Sello de Bronce | Destino: 4] Encajar el sello de bronce en la puerta tallada
- [Check: Erudición | DC: 8 | Éxito: 4 | Fallo: 3 | DañoFallo: 3] Descifrar en los legajos la oración que abre la puerta sin llave

## [3] La Biblioteca Anegada
[Daño: 1]
El agua te llega a las rodillas y los libros flotan abiertos a tu alrededor. Entre las páginas se oye un susurro que no viene de ninguna garganta, y cada palabra que entiendes te arranca un pedazo de cordura.

En un atril seco, por encima del agua, espera un cuaderno de tapas negras con la letra del profesor.

- [-> 4] [Obtener: Cuaderno de Ulloa] Coger el cuaderno y subir por la escalera de caracol hacia el faro
- [-> 1] Taparte los oídos y volver a la posada

## [4] La Linterna del Faro
[Musica: combat]
En lo alto del faro, la lente gira sola y proyecta su luz verde sobre un mar que se ha vuelto negro y espeso. Algo inmenso se alza despacio desde el fondo de la bahía, atraído por la luz, y su canto te llena la cabeza.

- [Check: Voluntad | DC: 8 | Éxito: 5 | Fallo: 6 | DañoFallo: 4] Resistir el canto y destrozar la lente a golpes con el farol
- [Check: Cordura | DC: 7 | Éxito: 5 | Fallo: 6 | DañoFallo: 3] Recitar del revés la oración del diario para sellar la bahía

## [5] La Bahía en Calma
La lente estalla en mil astillas verdes y el canto se corta de golpe. Lo que subía del fondo se hunde otra vez en la negrura. Al amanecer, los pescadores encuentran el mar en calma y a ti sentado en la escalera del faro, vivo y con el diario cerrado.

[Final: Victoria]

## [6] La Marea que Canta
El canto te gana. Bajas la escalera del faro, cruzas la playa y entras en el agua negra sin sentir el frío. Los pescadores de Punta Negra juran que, en las noches sin luna, aún se te oye cantar con la marea.

[Final: Derrota]
)md";

}  // namespace

const WorkshopGenre WORKSHOP_GENRES[WORKSHOP_GENRE_COUNT] = {
    {"Fantasía Oscura / Mazmorreo", "El Enigma Olvidado", DARK_FANTASY},
    {"Cyberpunk / Hacker DMZ", "Fantasmas en la DMZ", CYBERPUNK},
    {"Ciencia Ficción Orbital", "Silencio en la Órbita", ORBITAL},
    {"Terror Cósmico Arcano", "La Luz de Punta Negra", COSMIC_HORROR},
};
